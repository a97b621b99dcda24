#pragma once
// TXaudioPlayer: drives the audio player engine library. It loads the library
// on first use, checks its interface version, creates one engine player and
// turns every command into one engine message. The engine's notifications
// are carried to the thread that owns the component and raised there as
// typed events.
//
// The thread hop is injected: Dispatcher is handed each notification as a
// closure to run on the owner thread (the window posts it to its event
// loop). Without a dispatcher the closures wait in the component until the
// owner calls ProcessNotifications.
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>

#include "base/DynamicLibrary.h"
#include "xaudio.h"

class EXaudioException : public std::runtime_error {
 public:
  explicit EXaudioException(const std::string& message) : std::runtime_error(message) {}
};

class TXaudioPlayer {
 public:
  using TDispatcher = std::function<void(std::function<void()>)>;
  static constexpr uint32_t DefaultPriority = 3;

  TXaudioPlayer();
  ~TXaudioPlayer();
  TXaudioPlayer(const TXaudioPlayer&) = delete;
  TXaudioPlayer& operator=(const TXaudioPlayer&) = delete;

  // The library file; "libxaudio.so" beside the executable by default.
  std::string XaudioPath;
  // Called on the engine's thread; set it before the player is created.
  void SetDispatcher(TDispatcher dispatcher);
  // Runs the notifications waiting for an owner without a dispatcher;
  // the number run.
  int ProcessNotifications();

  uint32_t GetPriority();
  void SetPriority(uint32_t value);

  // Makes sure the player exists; raises EXaudioException on any failure.
  bool Init();
  std::string ErrorString(int Code);
  unsigned long GetVersion() const;
  bool PlayerExists() const { return player_ != nullptr; }

  // Commands: one engine message each, the engine's result returned.
  int Synchronize();
  int Play();
  int Pause();
  int Stop();
  int InputClose();
  int InputFilterList();
  int InputModulesList();
  int OutputClose();
  int OutputMute();
  int OutputUnmute();
  int OutputReset();
  int OutputDrain();
  int OutputFilterList();
  int OutputModulesList();
  int CodecModulesList();
  int GetPlayerMode();
  int GetInputName();
  int GetInputModule();
  int GetInputPositionRange();
  int GetInputTimecodeGranularity();
  int GetOutputName();
  int GetOutputModule();
  int GetOutputVolume();
  int GetOutputChannels();
  int GetOutputPorts();
  int GetCodecQuality();
  int GetCodecEqualizer();
  int GetNotificationMask();
  int GetDebugLevel();
  int Ping(int32_t Value);
  int InputModuleQuery(int32_t Value);
  int OutputModuleQuery(int32_t Value);
  int CodecModuleQuery(int32_t Value);
  int SetPlayerMode(int32_t Value);
  int SetInputModule(int32_t Value);
  int SetInputPositionRange(int32_t Value);
  int SetInputTimecodeGranularity(int32_t Value);
  int SetOutputModule(int32_t Value);
  int SetOutputChannels(int32_t Value);
  int SetOutputPorts(int32_t Value);
  int SetCodecQuality(int32_t Value);
  int SetNotificationMask(int32_t Value);
  int SetDebugLevel(int32_t Value);
  int InputSeek(int32_t Offset, int32_t Range);
  int SetOutputVolume(int32_t MasterLevel, int32_t PcmLevel, int32_t Balance);
  int InputOpen(const std::string& Text);
  int InputModuleRegister(const std::string& Text);
  int OutputOpen(const std::string& Text);
  int OutputModuleRegister(const std::string& Text);
  int CodecModuleRegister(const std::string& Text);
  int GetPlayerEnvironmentInteger(const std::string& Text);
  int GetPlayerEnvironmentString(const std::string& Text);
  int UnsetPlayerEnvironment(const std::string& Text);
  int SetInputName(const std::string& Text);
  int SetOutputName(const std::string& Text);
  int InputAddFilter(const std::string& Text, int32_t Value);
  int InputRemoveFilter(const std::string& Text, int32_t Value);
  int OutputAddFilter(const std::string& Text, int32_t Value);
  int OutputRemoveFilter(const std::string& Text, int32_t Value);
  int SetPlayerEnvironmentInteger(const std::string& Text, int32_t Value);
  int SetPlayerEnvironmentString(const std::string& Name, const std::string& Value);
  int InputSendMessage(uint16_t Type, const void* Data, uint32_t Size);
  int OutputSendMessage(uint16_t Type, const void* Data, uint32_t Size);
  int CodecSendMessage(uint16_t Type, const void* Data, uint32_t Size);
  int SetCodecEqualizer(const XA_EqualizerInfo& Equalizer);

  std::function<void(TXaudioPlayer* Sender, const XA_Message& Msg)> OnNotifyMessage;
  std::function<void(TXaudioPlayer* Sender)> OnNotifyReady;
  std::function<void(TXaudioPlayer* Sender, uint8_t Command)> OnNotifyAck;
  std::function<void(TXaudioPlayer* Sender, uint8_t Command, int16_t Code)> OnNotifyNack;
  std::function<void(TXaudioPlayer* Sender, uint32_t Tag)> OnNotifyPong;
  std::function<void(TXaudioPlayer* Sender)> OnNotifyExited;
  std::function<void(TXaudioPlayer* Sender, int32_t State)> OnNotifyPlayerState;
  std::function<void(TXaudioPlayer* Sender, int32_t Mode)> OnNotifyPlayerMode;
  std::function<void(TXaudioPlayer* Sender, const std::string& Name, int32_t Value)> OnNotifyPlayerEnvironmentInteger;
  std::function<void(TXaudioPlayer* Sender, const std::string& Name, const std::string& Value)> OnNotifyPlayerEnvironmentString;
  std::function<void(TXaudioPlayer* Sender, int32_t State)> OnNotifyInputState;
  std::function<void(TXaudioPlayer* Sender, const std::string& Name)> OnNotifyInputName;
  std::function<void(TXaudioPlayer* Sender, uint32_t Caps)> OnNotifyInputCaps;
  std::function<void(TXaudioPlayer* Sender, uint32_t Offset, uint32_t Range)> OnNotifyInputPosition;
  std::function<void(TXaudioPlayer* Sender, int32_t Range)> OnNotifyInputPositionRange;
  std::function<void(TXaudioPlayer* Sender, uint8_t Hours, uint8_t Minutes, uint8_t Seconds, uint8_t Fractions)> OnNotifyInputTimecode;
  std::function<void(TXaudioPlayer* Sender, uint32_t Granularity)> OnNotifyInputTimecodeGranularity;
  std::function<void(TXaudioPlayer* Sender, int16_t ID)> OnNotifyInputModule;
  std::function<void(TXaudioPlayer* Sender, uint8_t ID, uint8_t NbDevices, const std::string& Name, const std::string& Description)> OnNotifyInputModuleInfo;
  std::function<void(TXaudioPlayer* Sender, uint8_t ModuleID, uint8_t Index, uint8_t Flags, const std::string& Name, const std::string& Description)> OnNotifyInputDeviceInfo;
  std::function<void(TXaudioPlayer* Sender, uint8_t ID, const std::string& Name)> OnNotifyInputFilterInfo;
  std::function<void(TXaudioPlayer* Sender, int32_t State)> OnNotifyOutputState;
  std::function<void(TXaudioPlayer* Sender, const std::string& Name)> OnNotifyOutputName;
  std::function<void(TXaudioPlayer* Sender, uint32_t Caps)> OnNotifyOutputCaps;
  std::function<void(TXaudioPlayer* Sender, uint8_t MasterLevel, uint8_t PcmLevel, uint8_t Balance)> OnNotifyOutputVolume;
  std::function<void(TXaudioPlayer* Sender, uint8_t Balance)> OnNotifyOutputBalance;
  std::function<void(TXaudioPlayer* Sender, uint8_t PcmLevel)> OnNotifyOutputPcmLevel;
  std::function<void(TXaudioPlayer* Sender, uint8_t MasterLevel)> OnNotifyOutputMasterLevel;
  std::function<void(TXaudioPlayer* Sender, uint8_t Channels)> OnNotifyOutputChannels;
  std::function<void(TXaudioPlayer* Sender, uint32_t Ports)> OnNotifyOutputPorts;
  std::function<void(TXaudioPlayer* Sender, int16_t ID)> OnNotifyOutputModule;
  std::function<void(TXaudioPlayer* Sender, uint8_t ID, uint8_t NbDevices, const std::string& Name, const std::string& Description)> OnNotifyOutputModuleInfo;
  std::function<void(TXaudioPlayer* Sender, uint8_t ModuleID, uint8_t Index, uint8_t Flags, const std::string& Name, const std::string& Description)> OnNotifyOutputDeviceInfo;
  std::function<void(TXaudioPlayer* Sender, uint8_t ID, const std::string& Name)> OnNotifyOutputFilterInfo;
  std::function<void(TXaudioPlayer* Sender, const std::string& MimeType)> OnNotifyStreamMimeType;
  std::function<void(TXaudioPlayer* Sender, uint32_t Duration)> OnNotifyStreamDuration;
  std::function<void(TXaudioPlayer* Sender, uint32_t Frequency, int16_t Bitrate, uint8_t NbChannels)> OnNotifyStreamParameters;
  std::function<void(TXaudioPlayer* Sender, uint32_t NbProperties, const XA_Property* Properties)> OnNotifyStreamProperties;
  std::function<void(TXaudioPlayer* Sender, int16_t ID)> OnNotifyCodecModule;
  std::function<void(TXaudioPlayer* Sender, uint8_t ID, uint8_t NbDevices, const std::string& Name, const std::string& Description)> OnNotifyCodecModuleInfo;
  std::function<void(TXaudioPlayer* Sender, uint8_t ModuleID, uint8_t Index, uint8_t Flags, const std::string& Name, const std::string& Description)> OnNotifyCodecDeviceInfo;
  std::function<void(TXaudioPlayer* Sender, uint8_t Quality)> OnNotifyCodecQuality;
  std::function<void(TXaudioPlayer* Sender, const XA_EqualizerInfo& Equalizer)> OnNotifyCodecEqualizer;
  std::function<void(TXaudioPlayer* Sender, uint32_t Mask)> OnNotifyNotificationMask;
  std::function<void(TXaudioPlayer* Sender, uint8_t Level)> OnNotifyDebugLevel;
  std::function<void(TXaudioPlayer* Sender, uint8_t Source, uint8_t Code, int16_t Value, const std::string& Msg)> OnNotifyProgress;
  std::function<void(TXaudioPlayer* Sender, uint8_t Source, uint8_t Level, const std::string& Msg)> OnNotifyDebug;
  std::function<void(TXaudioPlayer* Sender, uint8_t Source, int16_t Code, const std::string& Msg)> OnNotifyError;

 private:
  struct THub;
  void EnsurePlayer();
  void LoadLibrary();
  void UnloadLibrary();
  void HandleMessage(uint32_t msg, uintptr_t wparam, intptr_t lparam);
  void Dispatch(const XA_Message& m);

  XA_Player* player_ = nullptr;
  uint32_t priority_ = DefaultPriority;
  std::shared_ptr<THub> hub_;
  text::TDynamicLibrary library_;

  int (*playerNew_)(XA_Player**, void*) = nullptr;
  int (*playerDelete_)(XA_Player*) = nullptr;
  int (*playerSetPriority_)(XA_Player*, int) = nullptr;
  int (*playerGetPriority_)(XA_Player*) = nullptr;
  const char* (*errorString_)(int) = nullptr;
  unsigned long (*getVersion_)(int) = nullptr;
  int (*sendN_)(XA_Player*, int) = nullptr;
  int (*sendP_)(XA_Player*, int, const void*) = nullptr;
  int (*sendS_)(XA_Player*, int, const char*) = nullptr;
  int (*sendSS_)(XA_Player*, int, const char*, const char*) = nullptr;
  int (*sendSI_)(XA_Player*, int, const char*, int) = nullptr;
  int (*sendIPI_)(XA_Player*, int, unsigned short, const void*, unsigned int) = nullptr;
  int (*sendI_)(XA_Player*, int, int) = nullptr;
  int (*sendII_)(XA_Player*, int, int, int) = nullptr;
  int (*sendIII_)(XA_Player*, int, int, int, int) = nullptr;
  int (*sendIIII_)(XA_Player*, int, int, int, int, int) = nullptr;
  int (*paramsToMessage_)(XA_Player*, XA_Message*, uint32_t, uintptr_t, intptr_t) = nullptr;
};
