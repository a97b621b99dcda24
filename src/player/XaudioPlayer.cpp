#include "player/XaudioPlayer.h"

#include "base/AppPaths.h"
#include "base/ProgramLayout.h"
#include "base/DynamicLibrary.h"

// What the engine's notification sink points at. It outlives no component:
// closures still queued when the component is gone find it expired.
struct TXaudioPlayer::THub {
  TXaudioPlayer* Owner = nullptr;  // owner thread only
  TDispatcher Dispatcher;          // fixed once a player exists
  std::weak_ptr<THub> Self;
  XA_NotificationSink Sink{};
  std::mutex WaitingLock;
  std::deque<std::function<void()>> Waiting;

  // Engine thread: never blocks on the owner.
  static void Post(void* context, uint32_t msg, uintptr_t wparam, intptr_t lparam) {
    auto* hub = static_cast<THub*>(context);
    std::function<void()> run = [weak = hub->Self, msg, wparam, lparam] {
      if (auto h = weak.lock())
        if (h->Owner) h->Owner->HandleMessage(msg, wparam, lparam);
    };
    if (hub->Dispatcher) {
      hub->Dispatcher(std::move(run));
      return;
    }
    std::lock_guard<std::mutex> g(hub->WaitingLock);
    hub->Waiting.push_back(std::move(run));
  }
};

TXaudioPlayer::TXaudioPlayer() : XaudioPath(text::ProgramLayout().LibraryFolder + "/libxaudio.so"), hub_(std::make_shared<THub>()) {
  hub_->Owner = this;
  hub_->Self = hub_;
  hub_->Sink.post = &THub::Post;
  hub_->Sink.context = hub_.get();
}

TXaudioPlayer::~TXaudioPlayer() {
  if (player_) {
    XA_Player* p = player_;
    player_ = nullptr;
    playerDelete_(p);  // joins the engine thread: nothing is posted after this
  }
  hub_->Owner = nullptr;
  UnloadLibrary();
}

void TXaudioPlayer::SetDispatcher(TDispatcher dispatcher) {
  // The engine thread reads the dispatcher without a lock once it runs.
  if (player_) throw EXaudioException("Dispatcher must be set before the player starts");
  hub_->Dispatcher = std::move(dispatcher);
}

int TXaudioPlayer::ProcessNotifications() {
  int count = 0;
  for (;;) {
    std::function<void()> run;
    {
      std::lock_guard<std::mutex> g(hub_->WaitingLock);
      if (hub_->Waiting.empty()) return count;
      run = std::move(hub_->Waiting.front());
      hub_->Waiting.pop_front();
    }
    run();
    ++count;
  }
}

void TXaudioPlayer::UnloadLibrary() {
  library_.Close();
  playerNew_ = nullptr;
  playerDelete_ = nullptr;
  playerSetPriority_ = nullptr;
  playerGetPriority_ = nullptr;
  errorString_ = nullptr;
  getVersion_ = nullptr;
  sendN_ = nullptr;
  sendP_ = nullptr;
  sendS_ = nullptr;
  sendSS_ = nullptr;
  sendSI_ = nullptr;
  sendIPI_ = nullptr;
  sendI_ = nullptr;
  sendII_ = nullptr;
  sendIII_ = nullptr;
  sendIIII_ = nullptr;
  paramsToMessage_ = nullptr;
}

void TXaudioPlayer::LoadLibrary() {
  if (!library_.Open(XaudioPath)) throw EXaudioException("Cannot Load Xaudio DLL (" + XaudioPath + ")");
  auto resolve = [this](const char* name, auto& slot) {
    if (!library_.Resolve(name, slot)) {
      UnloadLibrary();
      throw EXaudioException(std::string("Cannot Find Symbol ") + name + " in Xaudio DLL");
    }
  };
  resolve("player_new", playerNew_);
  resolve("player_delete", playerDelete_);
  resolve("player_set_priority", playerSetPriority_);
  resolve("player_get_priority", playerGetPriority_);
  resolve("xaudio_error_string", errorString_);
  resolve("xaudio_get_version", getVersion_);
  resolve("control_message_send_N", sendN_);
  resolve("control_message_send_P", sendP_);
  resolve("control_message_send_S", sendS_);
  resolve("control_message_send_SS", sendSS_);
  resolve("control_message_send_SI", sendSI_);
  resolve("control_message_send_IPI", sendIPI_);
  resolve("control_message_send_I", sendI_);
  resolve("control_message_send_II", sendII_);
  resolve("control_message_send_III", sendIII_);
  resolve("control_message_send_IIII", sendIIII_);
  resolve("control_win32_params_to_message", paramsToMessage_);
}

void TXaudioPlayer::EnsurePlayer() {
  if (player_) return;
  if (!library_.IsOpen()) LoadLibrary();
  const unsigned long v = getVersion_(XA_API_ID_SYNC);
  const unsigned major = (v >> 16) & 0xFF, minor = (v >> 8) & 0xFF;
  if (major != XA_API_MAJOR || minor != XA_API_MINOR)
    throw EXaudioException("Xaudio DLL API Mismatch\rExpected " + std::to_string(XA_API_MAJOR) + "." +
                           std::to_string(XA_API_MINOR) + ", Got " + std::to_string(major) + "." +
                           std::to_string(minor));
  XA_Player* p = nullptr;
  if (playerNew_(&p, &hub_->Sink) != XA_SUCCESS) {
    player_ = nullptr;
    throw EXaudioException("Cannot Start Xaudio Player");
  }
  player_ = p;
  if (priority_ != DefaultPriority) playerSetPriority_(player_, static_cast<int>(priority_));
}

bool TXaudioPlayer::Init() {
  EnsurePlayer();
  return true;
}

std::string TXaudioPlayer::ErrorString(int Code) {
  EnsurePlayer();
  const char* s = errorString_(Code);
  return s ? s : "";
}

unsigned long TXaudioPlayer::GetVersion() const { return player_ ? getVersion_(XA_API_ID_SYNC) : 0; }

uint32_t TXaudioPlayer::GetPriority() {
  return player_ ? static_cast<uint32_t>(playerGetPriority_(player_)) : priority_;
}

void TXaudioPlayer::SetPriority(uint32_t value) {
  priority_ = value;
  if (player_) playerSetPriority_(player_, static_cast<int>(value));
}

void TXaudioPlayer::HandleMessage(uint32_t msg, uintptr_t wparam, intptr_t lparam) {
  // Below the engine's range there is nothing of ours to do.
  if (msg < XA_MSG_BASE || !player_) return;
  XA_Message m{};
  if (paramsToMessage_(player_, &m, msg, wparam, lparam) != XA_SUCCESS) return;
  if (OnNotifyMessage) OnNotifyMessage(this, m);
  Dispatch(m);
}

namespace {
std::string Str(const char* s) { return s ? std::string(s) : std::string(); }
}  // namespace

// Raises the typed event of a message when it is assigned.
#define XA_RAISE(event, ...) \
  if (event) event(this, ##__VA_ARGS__); \
  break

void TXaudioPlayer::Dispatch(const XA_Message& m) {
  const auto& d = m.data;
  switch (m.code) {
    case XA_MSG_NOTIFY_READY: XA_RAISE(OnNotifyReady);
    case XA_MSG_NOTIFY_ACK: XA_RAISE(OnNotifyAck, d.ack);
    case XA_MSG_NOTIFY_NACK: XA_RAISE(OnNotifyNack, d.nack.command, d.nack.code);
    case XA_MSG_NOTIFY_PONG: XA_RAISE(OnNotifyPong, d.tag);
    case XA_MSG_NOTIFY_EXITED: XA_RAISE(OnNotifyExited);
    case XA_MSG_NOTIFY_PLAYER_STATE: XA_RAISE(OnNotifyPlayerState, d.state);
    case XA_MSG_NOTIFY_PLAYER_MODE: XA_RAISE(OnNotifyPlayerMode, d.mode);
    case XA_MSG_NOTIFY_PLAYER_ENVIRONMENT_INTEGER:
      XA_RAISE(OnNotifyPlayerEnvironmentInteger, Str(d.environment_integer.name), d.environment_integer.value);
    case XA_MSG_NOTIFY_PLAYER_ENVIRONMENT_STRING:
      XA_RAISE(OnNotifyPlayerEnvironmentString, Str(d.environment_string.name), Str(d.environment_string.value));
    case XA_MSG_NOTIFY_INPUT_STATE: XA_RAISE(OnNotifyInputState, d.state);
    case XA_MSG_NOTIFY_INPUT_NAME: XA_RAISE(OnNotifyInputName, Str(d.name));
    case XA_MSG_NOTIFY_INPUT_CAPS: XA_RAISE(OnNotifyInputCaps, d.caps);
    case XA_MSG_NOTIFY_INPUT_POSITION: XA_RAISE(OnNotifyInputPosition, d.position.offset, d.position.range);
    case XA_MSG_NOTIFY_INPUT_POSITION_RANGE: XA_RAISE(OnNotifyInputPositionRange, d.range);
    case XA_MSG_NOTIFY_INPUT_TIMECODE:
      XA_RAISE(OnNotifyInputTimecode, d.timecode.h, d.timecode.m, d.timecode.s, d.timecode.f);
    case XA_MSG_NOTIFY_INPUT_TIMECODE_GRANULARITY: XA_RAISE(OnNotifyInputTimecodeGranularity, d.granularity);
    case XA_MSG_NOTIFY_INPUT_MODULE: XA_RAISE(OnNotifyInputModule, d.module_id);
    case XA_MSG_NOTIFY_INPUT_MODULE_INFO:
      XA_RAISE(OnNotifyInputModuleInfo, d.module_info.id, d.module_info.nb_devices, Str(d.module_info.name),
               Str(d.module_info.description));
    case XA_MSG_NOTIFY_INPUT_DEVICE_INFO:
      XA_RAISE(OnNotifyInputDeviceInfo, d.device_info.module_id, d.device_info.index, d.device_info.flags,
               Str(d.device_info.name), Str(d.device_info.description));
    case XA_MSG_NOTIFY_INPUT_FILTER_INFO: XA_RAISE(OnNotifyInputFilterInfo, d.filter_info.id, Str(d.filter_info.name));
    case XA_MSG_NOTIFY_OUTPUT_STATE: XA_RAISE(OnNotifyOutputState, d.state);
    case XA_MSG_NOTIFY_OUTPUT_NAME: XA_RAISE(OnNotifyOutputName, Str(d.name));
    case XA_MSG_NOTIFY_OUTPUT_CAPS: XA_RAISE(OnNotifyOutputCaps, d.caps);
    case XA_MSG_NOTIFY_OUTPUT_VOLUME:
      XA_RAISE(OnNotifyOutputVolume, d.volume.master_level, d.volume.pcm_level, d.volume.balance);
    case XA_MSG_NOTIFY_OUTPUT_BALANCE: XA_RAISE(OnNotifyOutputBalance, d.balance);
    case XA_MSG_NOTIFY_OUTPUT_PCM_LEVEL: XA_RAISE(OnNotifyOutputPcmLevel, d.pcm_level);
    case XA_MSG_NOTIFY_OUTPUT_MASTER_LEVEL: XA_RAISE(OnNotifyOutputMasterLevel, d.master_level);
    case XA_MSG_NOTIFY_OUTPUT_CHANNELS: XA_RAISE(OnNotifyOutputChannels, d.channels);
    case XA_MSG_NOTIFY_OUTPUT_PORTS: XA_RAISE(OnNotifyOutputPorts, d.ports);
    case XA_MSG_NOTIFY_OUTPUT_MODULE: XA_RAISE(OnNotifyOutputModule, d.module_id);
    case XA_MSG_NOTIFY_OUTPUT_MODULE_INFO:
      XA_RAISE(OnNotifyOutputModuleInfo, d.module_info.id, d.module_info.nb_devices, Str(d.module_info.name),
               Str(d.module_info.description));
    case XA_MSG_NOTIFY_OUTPUT_DEVICE_INFO:
      XA_RAISE(OnNotifyOutputDeviceInfo, d.device_info.module_id, d.device_info.index, d.device_info.flags,
               Str(d.device_info.name), Str(d.device_info.description));
    case XA_MSG_NOTIFY_OUTPUT_FILTER_INFO: XA_RAISE(OnNotifyOutputFilterInfo, d.filter_info.id, Str(d.filter_info.name));
    case XA_MSG_NOTIFY_STREAM_MIME_TYPE: XA_RAISE(OnNotifyStreamMimeType, Str(d.mime_type));
    case XA_MSG_NOTIFY_STREAM_DURATION: XA_RAISE(OnNotifyStreamDuration, d.duration);
    case XA_MSG_NOTIFY_STREAM_PARAMETERS:
      XA_RAISE(OnNotifyStreamParameters, d.stream_parameters.frequency, d.stream_parameters.bitrate,
               d.stream_parameters.nb_channels);
    case XA_MSG_NOTIFY_STREAM_PROPERTIES:
      XA_RAISE(OnNotifyStreamProperties, d.properties.nb_properties, d.properties.properties);
    case XA_MSG_NOTIFY_CODEC_QUALITY: XA_RAISE(OnNotifyCodecQuality, d.quality);
    case XA_MSG_NOTIFY_CODEC_EQUALIZER:
      if (OnNotifyCodecEqualizer && d.equalizer) OnNotifyCodecEqualizer(this, *d.equalizer);
      break;
    case XA_MSG_NOTIFY_CODEC_MODULE: XA_RAISE(OnNotifyCodecModule, d.module_id);
    case XA_MSG_NOTIFY_CODEC_MODULE_INFO:
      XA_RAISE(OnNotifyCodecModuleInfo, d.module_info.id, d.module_info.nb_devices, Str(d.module_info.name),
               Str(d.module_info.description));
    case XA_MSG_NOTIFY_CODEC_DEVICE_INFO:
      XA_RAISE(OnNotifyCodecDeviceInfo, d.device_info.module_id, d.device_info.index, d.device_info.flags,
               Str(d.device_info.name), Str(d.device_info.description));
    case XA_MSG_NOTIFY_NOTIFICATION_MASK: XA_RAISE(OnNotifyNotificationMask, d.notification_mask);
    case XA_MSG_NOTIFY_DEBUG_LEVEL: XA_RAISE(OnNotifyDebugLevel, d.debug_level);
    case XA_MSG_NOTIFY_PROGRESS:
      XA_RAISE(OnNotifyProgress, d.progress.source, d.progress.code, d.progress.value, Str(d.progress.message));
    case XA_MSG_NOTIFY_DEBUG: XA_RAISE(OnNotifyDebug, d.debug.source, d.debug.level, Str(d.debug.message));
    case XA_MSG_NOTIFY_ERROR: XA_RAISE(OnNotifyError, d.error.source, d.error.code, Str(d.error.message));
    default:
      break;
  }
}
#undef XA_RAISE

int TXaudioPlayer::Synchronize() {
  EnsurePlayer();
  return sendN_(player_, XA_MSG_COMMAND_SYNC);
}

int TXaudioPlayer::Play() {
  EnsurePlayer();
  return sendN_(player_, XA_MSG_COMMAND_PLAY);
}

int TXaudioPlayer::Pause() {
  EnsurePlayer();
  return sendN_(player_, XA_MSG_COMMAND_PAUSE);
}

int TXaudioPlayer::Stop() {
  EnsurePlayer();
  return sendN_(player_, XA_MSG_COMMAND_STOP);
}

int TXaudioPlayer::InputClose() {
  EnsurePlayer();
  return sendN_(player_, XA_MSG_COMMAND_INPUT_CLOSE);
}

int TXaudioPlayer::InputFilterList() {
  EnsurePlayer();
  return sendN_(player_, XA_MSG_COMMAND_INPUT_FILTERS_LIST);
}

int TXaudioPlayer::InputModulesList() {
  EnsurePlayer();
  return sendN_(player_, XA_MSG_COMMAND_INPUT_MODULES_LIST);
}

int TXaudioPlayer::OutputClose() {
  EnsurePlayer();
  return sendN_(player_, XA_MSG_COMMAND_OUTPUT_CLOSE);
}

int TXaudioPlayer::OutputMute() {
  EnsurePlayer();
  return sendN_(player_, XA_MSG_COMMAND_OUTPUT_MUTE);
}

int TXaudioPlayer::OutputUnmute() {
  EnsurePlayer();
  return sendN_(player_, XA_MSG_COMMAND_OUTPUT_UNMUTE);
}

int TXaudioPlayer::OutputReset() {
  EnsurePlayer();
  return sendN_(player_, XA_MSG_COMMAND_OUTPUT_RESET);
}

int TXaudioPlayer::OutputDrain() {
  EnsurePlayer();
  return sendN_(player_, XA_MSG_COMMAND_OUTPUT_DRAIN);
}

int TXaudioPlayer::OutputFilterList() {
  EnsurePlayer();
  return sendN_(player_, XA_MSG_COMMAND_OUTPUT_FILTERS_LIST);
}

int TXaudioPlayer::OutputModulesList() {
  EnsurePlayer();
  return sendN_(player_, XA_MSG_COMMAND_OUTPUT_MODULES_LIST);
}

int TXaudioPlayer::CodecModulesList() {
  EnsurePlayer();
  return sendN_(player_, XA_MSG_COMMAND_CODEC_MODULES_LIST);
}

int TXaudioPlayer::GetPlayerMode() {
  EnsurePlayer();
  return sendN_(player_, XA_MSG_COMMAND_GET_PLAYER_MODE);
}

int TXaudioPlayer::GetInputName() {
  EnsurePlayer();
  return sendN_(player_, XA_MSG_GET_INPUT_NAME);
}

int TXaudioPlayer::GetInputModule() {
  EnsurePlayer();
  return sendN_(player_, XA_MSG_GET_INPUT_MODULE);
}

int TXaudioPlayer::GetInputPositionRange() {
  EnsurePlayer();
  return sendN_(player_, XA_MSG_GET_INPUT_POSITION_RANGE);
}

int TXaudioPlayer::GetInputTimecodeGranularity() {
  EnsurePlayer();
  return sendN_(player_, XA_MSG_GET_INPUT_TIMECODE_GRANULARITY);
}

int TXaudioPlayer::GetOutputName() {
  EnsurePlayer();
  return sendN_(player_, XA_MSG_GET_OUTPUT_NAME);
}

int TXaudioPlayer::GetOutputModule() {
  EnsurePlayer();
  return sendN_(player_, XA_MSG_GET_OUTPUT_MODULE);
}

int TXaudioPlayer::GetOutputVolume() {
  EnsurePlayer();
  return sendN_(player_, XA_MSG_GET_OUTPUT_VOLUME);
}

int TXaudioPlayer::GetOutputChannels() {
  EnsurePlayer();
  return sendN_(player_, XA_MSG_GET_OUTPUT_CHANNELS);
}

int TXaudioPlayer::GetOutputPorts() {
  EnsurePlayer();
  return sendN_(player_, XA_MSG_GET_OUTPUT_PORTS);
}

int TXaudioPlayer::GetCodecQuality() {
  EnsurePlayer();
  return sendN_(player_, XA_MSG_GET_CODEC_QUALITY);
}

int TXaudioPlayer::GetCodecEqualizer() {
  EnsurePlayer();
  return sendN_(player_, XA_MSG_GET_CODEC_EQUALIZER);
}

int TXaudioPlayer::GetNotificationMask() {
  EnsurePlayer();
  return sendN_(player_, XA_MSG_GET_NOTIFICATION_MASK);
}

int TXaudioPlayer::GetDebugLevel() {
  EnsurePlayer();
  return sendN_(player_, XA_MSG_GET_DEBUG_LEVEL);
}

int TXaudioPlayer::Ping(int32_t Value) {
  EnsurePlayer();
  return sendI_(player_, XA_MSG_COMMAND_PING, Value);
}

int TXaudioPlayer::InputModuleQuery(int32_t Value) {
  EnsurePlayer();
  return sendI_(player_, XA_MSG_COMMAND_INPUT_MODULE_QUERY, Value);
}

int TXaudioPlayer::OutputModuleQuery(int32_t Value) {
  EnsurePlayer();
  return sendI_(player_, XA_MSG_COMMAND_OUTPUT_MODULE_QUERY, Value);
}

int TXaudioPlayer::CodecModuleQuery(int32_t Value) {
  EnsurePlayer();
  return sendI_(player_, XA_MSG_COMMAND_CODEC_MODULE_QUERY, Value);
}

int TXaudioPlayer::SetPlayerMode(int32_t Value) {
  EnsurePlayer();
  return sendI_(player_, XA_MSG_COMMAND_SET_PLAYER_MODE, Value);
}

int TXaudioPlayer::SetInputModule(int32_t Value) {
  EnsurePlayer();
  return sendI_(player_, XA_MSG_SET_INPUT_MODULE, Value);
}

int TXaudioPlayer::SetInputPositionRange(int32_t Value) {
  EnsurePlayer();
  return sendI_(player_, XA_MSG_SET_INPUT_POSITION_RANGE, Value);
}

int TXaudioPlayer::SetInputTimecodeGranularity(int32_t Value) {
  EnsurePlayer();
  return sendI_(player_, XA_MSG_SET_INPUT_TIMECODE_GRANULARITY, Value);
}

int TXaudioPlayer::SetOutputModule(int32_t Value) {
  EnsurePlayer();
  return sendI_(player_, XA_MSG_SET_OUTPUT_MODULE, Value);
}

int TXaudioPlayer::SetOutputChannels(int32_t Value) {
  EnsurePlayer();
  return sendI_(player_, XA_MSG_SET_OUTPUT_CHANNELS, Value);
}

int TXaudioPlayer::SetOutputPorts(int32_t Value) {
  EnsurePlayer();
  return sendI_(player_, XA_MSG_SET_OUTPUT_PORTS, Value);
}

int TXaudioPlayer::SetCodecQuality(int32_t Value) {
  EnsurePlayer();
  return sendI_(player_, XA_MSG_SET_CODEC_QUALITY, Value);
}

int TXaudioPlayer::SetNotificationMask(int32_t Value) {
  EnsurePlayer();
  return sendI_(player_, XA_MSG_SET_NOTIFICATION_MASK, Value);
}

int TXaudioPlayer::SetDebugLevel(int32_t Value) {
  EnsurePlayer();
  return sendI_(player_, XA_MSG_SET_DEBUG_LEVEL, Value);
}

int TXaudioPlayer::InputSeek(int32_t Offset, int32_t Range) {
  EnsurePlayer();
  return sendII_(player_, XA_MSG_COMMAND_INPUT_SEEK, Offset, Range);
}

int TXaudioPlayer::SetOutputVolume(int32_t MasterLevel, int32_t PcmLevel, int32_t Balance) {
  EnsurePlayer();
  return sendIII_(player_, XA_MSG_SET_OUTPUT_VOLUME, MasterLevel, PcmLevel, Balance);
}

int TXaudioPlayer::InputOpen(const std::string& Text) {
  EnsurePlayer();
  return sendS_(player_, XA_MSG_COMMAND_INPUT_OPEN, Text.c_str());
}

int TXaudioPlayer::InputModuleRegister(const std::string& Text) {
  EnsurePlayer();
  return sendS_(player_, XA_MSG_COMMAND_INPUT_MODULE_REGISTER, Text.c_str());
}

int TXaudioPlayer::OutputOpen(const std::string& Text) {
  EnsurePlayer();
  return sendS_(player_, XA_MSG_COMMAND_OUTPUT_OPEN, Text.c_str());
}

int TXaudioPlayer::OutputModuleRegister(const std::string& Text) {
  EnsurePlayer();
  return sendS_(player_, XA_MSG_COMMAND_OUTPUT_MODULE_REGISTER, Text.c_str());
}

int TXaudioPlayer::CodecModuleRegister(const std::string& Text) {
  EnsurePlayer();
  return sendS_(player_, XA_MSG_COMMAND_CODEC_MODULE_REGISTER, Text.c_str());
}

int TXaudioPlayer::GetPlayerEnvironmentInteger(const std::string& Text) {
  EnsurePlayer();
  return sendS_(player_, XA_MSG_GET_PLAYER_ENVIRONMENT_INTEGER, Text.c_str());
}

int TXaudioPlayer::GetPlayerEnvironmentString(const std::string& Text) {
  EnsurePlayer();
  return sendS_(player_, XA_MSG_GET_PLAYER_ENVIRONMENT_STRING, Text.c_str());
}

int TXaudioPlayer::UnsetPlayerEnvironment(const std::string& Text) {
  EnsurePlayer();
  return sendS_(player_, XA_MSG_UNSET_PLAYER_ENVIRONMENT, Text.c_str());
}

int TXaudioPlayer::SetInputName(const std::string& Text) {
  EnsurePlayer();
  return sendS_(player_, XA_MSG_SET_INPUT_NAME, Text.c_str());
}

int TXaudioPlayer::SetOutputName(const std::string& Text) {
  EnsurePlayer();
  return sendS_(player_, XA_MSG_SET_OUTPUT_NAME, Text.c_str());
}

int TXaudioPlayer::InputAddFilter(const std::string& Text, int32_t Value) {
  EnsurePlayer();
  return sendSI_(player_, XA_MSG_COMMAND_INPUT_ADD_FILTER, Text.c_str(), Value);
}

int TXaudioPlayer::InputRemoveFilter(const std::string& Text, int32_t Value) {
  EnsurePlayer();
  return sendSI_(player_, XA_MSG_COMMAND_INPUT_REMOVE_FILTER, Text.c_str(), Value);
}

int TXaudioPlayer::OutputAddFilter(const std::string& Text, int32_t Value) {
  EnsurePlayer();
  return sendSI_(player_, XA_MSG_COMMAND_OUTPUT_ADD_FILTER, Text.c_str(), Value);
}

int TXaudioPlayer::OutputRemoveFilter(const std::string& Text, int32_t Value) {
  EnsurePlayer();
  return sendSI_(player_, XA_MSG_COMMAND_OUTPUT_REMOVE_FILTER, Text.c_str(), Value);
}

int TXaudioPlayer::SetPlayerEnvironmentInteger(const std::string& Text, int32_t Value) {
  EnsurePlayer();
  return sendSI_(player_, XA_MSG_SET_PLAYER_ENVIRONMENT_INTEGER, Text.c_str(), Value);
}

int TXaudioPlayer::SetPlayerEnvironmentString(const std::string& Name, const std::string& Value) {
  EnsurePlayer();
  return sendSS_(player_, XA_MSG_SET_PLAYER_ENVIRONMENT_STRING, Name.c_str(), Value.c_str());
}

int TXaudioPlayer::InputSendMessage(uint16_t Type, const void* Data, uint32_t Size) {
  EnsurePlayer();
  return sendIPI_(player_, XA_MSG_COMMAND_INPUT_SEND_MESSAGE, Type, Data, Size);
}

int TXaudioPlayer::OutputSendMessage(uint16_t Type, const void* Data, uint32_t Size) {
  EnsurePlayer();
  return sendIPI_(player_, XA_MSG_COMMAND_OUTPUT_SEND_MESSAGE, Type, Data, Size);
}

int TXaudioPlayer::CodecSendMessage(uint16_t Type, const void* Data, uint32_t Size) {
  EnsurePlayer();
  return sendIPI_(player_, XA_MSG_COMMAND_CODEC_SEND_MESSAGE, Type, Data, Size);
}

int TXaudioPlayer::SetCodecEqualizer(const XA_EqualizerInfo& Equalizer) {
  EnsurePlayer();
  return sendP_(player_, XA_MSG_SET_CODEC_EQUALIZER, &Equalizer);
}
