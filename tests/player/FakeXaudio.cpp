// A stand-in engine for the component tests, built in several variants
// (FAKE_MAJOR/FAKE_MINOR, FAKE_NO_<symbol>, FAKE_NEW_FAILS). It records every
// call as a line and posts notifications on a thread of its own on request.
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "xaudio.h"

#define FAKE_EXPORT extern "C" __attribute__((visibility("default")))

namespace {
std::mutex gLock;
std::string gLog;
XA_NotificationSink gSink{};
XA_Player* const kPlayer = reinterpret_cast<XA_Player*>(0x1234);

void Log(const std::string& line) {
  std::lock_guard<std::mutex> g(gLock);
  gLog += line + "\n";
}
std::string S(const char* s) { return s ? s : "(null)"; }
}  // namespace

FAKE_EXPORT const char* fake_log() {
  static std::string copy;
  std::lock_guard<std::mutex> g(gLock);
  copy = gLog;
  gLog.clear();
  return copy.c_str();
}

// Posts one notification of the code from another thread, as the engine does.
FAKE_EXPORT void fake_emit(int code) {
  std::thread([code] { gSink.post(gSink.context, XA_MSG_BASE + code, static_cast<uintptr_t>(code), 7); }).join();
}

FAKE_EXPORT int player_new(XA_Player** player, void* sink) {
  Log("player_new");
#ifdef FAKE_NEW_FAILS
  *player = kPlayer;  // a failing engine may leave garbage behind
  (void)sink;
  return XA_FAILURE;
#else
  gSink = *static_cast<XA_NotificationSink*>(sink);
  *player = kPlayer;
  return 0;
#endif
}
FAKE_EXPORT int player_delete(XA_Player*) {
  Log("player_delete");
  return 0;
}
FAKE_EXPORT int player_set_priority(XA_Player*, int p) {
  Log("priority " + std::to_string(p));
  return 0;
}
FAKE_EXPORT int player_get_priority(XA_Player*) { return 5; }
FAKE_EXPORT const char* xaudio_error_string(int code) {
  return code == XA_ERROR_NOT_IMPLEMENTED ? "fake: not implemented" : "fake";
}
#ifndef FAKE_NO_VERSION
FAKE_EXPORT unsigned long xaudio_get_version(int) {
  return (FAKE_MAJOR << 16) | (FAKE_MINOR << 8) | 0x55;  // low byte: a patch level the check ignores
}
#endif
FAKE_EXPORT int control_message_send_N(XA_Player*, int c) {
  Log("N " + std::to_string(c));
  return 0;
}
FAKE_EXPORT int control_message_send_P(XA_Player*, int c, const void* p) {
  const auto* e = static_cast<const XA_EqualizerInfo*>(p);
  Log("P " + std::to_string(c) + " " + std::to_string(e->left[0]) + " " + std::to_string(e->right[31]));
  return 0;
}
FAKE_EXPORT int control_message_send_S(XA_Player*, int c, const char* s) {
  Log("S " + std::to_string(c) + " " + S(s));
  return 0;
}
FAKE_EXPORT int control_message_send_SS(XA_Player*, int c, const char* a, const char* b) {
  Log("SS " + std::to_string(c) + " " + S(a) + " " + S(b));
  return 0;
}
FAKE_EXPORT int control_message_send_SI(XA_Player*, int c, const char* s, int i) {
  Log("SI " + std::to_string(c) + " " + S(s) + " " + std::to_string(i));
  return 0;
}
FAKE_EXPORT int control_message_send_IPI(XA_Player*, int c, unsigned short a, const void* p, unsigned int b) {
  Log("IPI " + std::to_string(c) + " " + std::to_string(a) + " " + S(static_cast<const char*>(p)) + " " +
      std::to_string(b));
  return 0;
}
FAKE_EXPORT int control_message_send_I(XA_Player*, int c, int i) {
  Log("I " + std::to_string(c) + " " + std::to_string(i));
  return 0;
}
FAKE_EXPORT int control_message_send_II(XA_Player*, int c, int a, int b) {
  Log("II " + std::to_string(c) + " " + std::to_string(a) + " " + std::to_string(b));
  return 0;
}
FAKE_EXPORT int control_message_send_III(XA_Player*, int c, int a, int b, int d) {
  Log("III " + std::to_string(c) + " " + std::to_string(a) + " " + std::to_string(b) + " " + std::to_string(d));
  return 42;  // results are the engine's and go back unchanged
}
FAKE_EXPORT int control_message_send_IIII(XA_Player*, int, int, int, int, int) { return 0; }
#ifndef FAKE_NO_PARAMS
FAKE_EXPORT int control_win32_params_to_message(XA_Player* p, XA_Message* m, uint32_t msg, uintptr_t wparam, intptr_t) {
  if (p != kPlayer || msg != XA_MSG_BASE + wparam) return 1;
  static XA_EqualizerInfo eq{};
  std::memset(m, 0, sizeof *m);
  m->code = static_cast<int32_t>(wparam);
  switch (m->code) {
    case XA_MSG_NOTIFY_NACK: m->data.nack.command = XA_MSG_COMMAND_INPUT_OPEN; m->data.nack.code = -300; break;
    case XA_MSG_NOTIFY_INPUT_POSITION: m->data.position.offset = 200; m->data.position.range = 400; break;
    case XA_MSG_NOTIFY_INPUT_TIMECODE: m->data.timecode = {1, 2, 3, 45}; break;
    case XA_MSG_NOTIFY_STREAM_PARAMETERS: m->data.stream_parameters = {48000, 320, 2}; break;
    case XA_MSG_NOTIFY_ERROR: m->data.error.source = 1; m->data.error.code = -9; m->data.error.message = "boom"; break;
    case XA_MSG_NOTIFY_CODEC_EQUALIZER: eq.left[3] = -100; eq.right[31] = 100; m->data.equalizer = &eq; break;
    case XA_MSG_NOTIFY_OUTPUT_DEVICE_INFO: m->data.device_info = {2, 3, 4, "dev", "a device"}; break;
    default: break;
  }
  return 0;
}
#endif
