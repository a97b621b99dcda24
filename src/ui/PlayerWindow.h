#pragma once
// TForm3, the player and equaliser window: plays a channel's live stream from
// the program's own server or a recorded file through TXaudioPlayer, with ten
// equaliser bands and a volume kept in eq.ini (eleven lines).
#include <QWidget>
#include <array>
#include <functional>
#include <memory>
#include <string>

#include "base/AppPaths.h"
#include "player/Equalizer.h"
#include "player/XaudioPlayer.h"
#include "server/HttpRequest.h"

class QLabel;
class QSlider;
class TSlider;
class TThreadHop;

// "48000 Hz,  Стерео  320 kbps"
QString StreamParametersOf(uint32_t frequency, int bitrate, int channels);

class TForm3 : public QWidget {
  Q_OBJECT

 private:
  // Before the engine: its thread hands notifications over until it is gone.
  std::unique_ptr<TThreadHop> hop_;

 public:
  explicit TForm3(const std::string& iniFolder, QWidget* parent = nullptr);
  ~TForm3() override;

  TXaudioPlayer XaudioPlayer1;
  // The window this one stands beside when shown.
  QWidget* MainWindow = nullptr;
  uint16_t StreamPort = kStreamPort;
  // Observers of what reaches the engine, for tests.
  std::function<void(const XA_EqualizerInfo&)> EqualizerSent;
  std::function<void(int pcmLevel)> VolumeSent;

  // Starts the engine, builds the seek slider, loads the equaliser.
  void FormCreate();
  void PlayStream(const std::string& name);  // CP1251 channel name
  void PlayFile(const std::string& path);    // the system's name, UTF-8
  void StopPlayback();
  // While the live stream of channel `channelName` (CP1251) plays, the
  // caption reads "Channel — Title", or the channel alone for an empty title
  // (UTF-8). Anything else playing keeps its caption.
  void ShowStreamTitle(const std::string& channelName, const std::string& title);
  void PngSpeedButton1Click();

  void LoadEqualizer();
  void SaveEqualizer();
  void ApplyEqualizer();
  std::string EqualizerFile() const { return text::TIniFiles{iniFolder_}.Equalizer(); }

  QSlider* Band(int i) const { return bands_[static_cast<size_t>(i)]; }
  QSlider* Volume() const { return volume_; }
  TSlider* SeekSlider = nullptr;

 protected:
  void showEvent(QShowEvent* event) override;    // FormShow
  void closeEvent(QCloseEvent* event) override;  // FormClose

 private:
  // False, with the engine's error shown, while the engine did not start.
  bool EngineReady();
  // The bar's position as the engine's level (100 - position).
  void SendVolume(int position);
  TBandPositions BandPositions() const;
  void WireEngineEvents();

  std::string iniFolder_;
  std::array<QSlider*, kEqualizerBands> bands_{};
  QSlider* volume_ = nullptr;
  QLabel* timecode_ = nullptr;
  QLabel* parameters_ = nullptr;
  bool sliderHeld_ = false;
  bool engineFailed_ = false;
  std::string streamName_;  // the channel whose live stream plays; empty otherwise
  std::string engineError_;
};
