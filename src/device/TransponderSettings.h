#pragma once
// The transponder, card and recording settings and their file trsp.ini
// (eight CP1251 lines, CR LF), the card check and the tuning. Qt-free: the
// settings window and the command line both work through these.
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "device/DvbPluginApi.h"

// The cards the settings offer, by index; the plug-in is Device/<name>.so.
extern const std::vector<std::string> kCardNames;

struct TTransponderSettings {
  // The three fields exactly as typed: whole MHz, MHz and kilosymbols/s.
  std::string LocalOscillator = "5150";
  std::string Frequency = "4084";
  std::string SymbolRate = "2500";
  bool Vertical = false;
  int DiseqcIndex = 0;  // 0..7, port DiseqcIndex + 1
  int CardIndex = 1;    // into kCardNames
  // The system's bytes (UTF-8); line 7 of the file holds it as CP1251. Empty
  // until loaded (see EffectiveRecordFolder).
  std::string RecordFolder;
  bool Pcm = true;           // false: re-encode to MP3

  // The card's name, or empty when the index names none.
  std::string CardName() const;
};

// A message for the user (UTF-8). The windows show it in a message box, the
// command line prints it.
using TSettingsMessage = std::function<void(const std::string& message)>;

extern const char* const kWrongCardMessage;  // the plug-in does not load
extern const char* const kCardNotActiveMessage;  // DVBOpen refused, followed by the reason when known

// The user's text for a plug-in's TCardReason; empty for none or one unknown.
const char* CardReasonText(int32_t reason);

// Reads the file into `settings`. Lines 1 to 3 and 7 are taken as text, 4 and
// 8 by the "1" rule; 5 and 6 are converted strictly. Missing lines read as
// empty text. Throws text::EInOutError when the file cannot be read (nothing
// changed) and text::EConvertError for line 5 or 6 (the lines before it are
// taken, the rest is not; its message is UTF-8; `badLine`, when given, gets
// the line's number from 1). The two indexes are kept as written, even when
// they name no port or card.
void LoadSettings(const std::string& path, TTransponderSettings& settings, int* badLine = nullptr);

// A record folder that line 7 cannot hold: a character CP1251 lacks.
struct EFolderNotStorable : std::runtime_error {
  explicit EFolderNotStorable(const std::string& folder);
};

// Writes the eight lines through the settings files' safe writer. A record
// folder that CP1251 cannot hold is written as the empty line when it is the
// user's music folder (which the empty line means) and refused otherwise.
// Throws text::EInOutError or EFolderNotStorable; nothing is written then.
void SaveSettings(const std::string& path, const TTransponderSettings& settings);

// The record folder to glue channel names to (UTF-8): the file's text, or
// the user's music folder with a trailing "/" when the file leaves it empty.
std::string EffectiveRecordFolder(const TTransponderSettings& settings);

// Loads the card's plug-in into `device` and opens the card; sets CardOpen.
// False, with the message told, when the plug-in does not load or the card is
// not ready.
bool CheckCard(TDevicePlugin& device, const std::string& cardName, const TSettingsMessage& message);

// DiSEqC, then the tuner record, through `device`. False, with the
// conversion error told, when a field is not a whole number or its value x 1000
// does not fit 32 bits: nothing then reaches DVBSetTuner. A DiSEqC index
// outside 0..7 is told and sends nothing at all; a table without a plug-in
// gives false silently. The tuner's own answer is not acted on.
bool Tune(const TTransponderSettings& settings, const TDevicePlugin& device, const TSettingsMessage& message);

// The tuner record the settings give (fields already checked: whole numbers
// from 0 to 4294967).
TTunerParams TunerParamsOf(int32_t frequencyMHz, int32_t symbolRateKs, int32_t localOscillatorMHz, bool vertical);
