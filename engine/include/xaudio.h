#ifndef XAUDIO_H
#define XAUDIO_H
/* The audio player engine: one player is one engine thread that opens a file
 * or an http:// stream, decodes MPEG audio and plays it. Commands are queued
 * messages; everything the engine has to say comes back as notifications,
 * posted as (message, wparam, lparam) triples to the sink given at player
 * creation and turned back into an XA_Message on the receiving side. */
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define XA_EXPORT __attribute__((visibility("default")))
#else
#define XA_EXPORT
#endif

/* Interface version reported by xaudio_get_version(XA_API_ID_SYNC). */
#define XA_API_MAJOR 3
#define XA_API_MINOR 8
#define XA_API_ID_ASYNC 1
#define XA_API_ID_SYNC 2

/* Posted message numbers are XA_MSG_BASE + notification code; any other
 * number is not the engine's. */
#define XA_MSG_BASE 0x9000u

/* Command codes. */
enum {
  XA_MSG_COMMAND_EXIT = 1,
  XA_MSG_COMMAND_SYNC = 2,
  XA_MSG_COMMAND_PING = 3,
  XA_MSG_COMMAND_PLAY = 4,
  XA_MSG_COMMAND_PAUSE = 5,
  XA_MSG_COMMAND_STOP = 6,
  XA_MSG_COMMAND_INPUT_SEEK = 7,
  XA_MSG_COMMAND_INPUT_OPEN = 8,
  XA_MSG_COMMAND_INPUT_CLOSE = 9,
  XA_MSG_COMMAND_INPUT_SEND_MESSAGE = 10,
  XA_MSG_COMMAND_INPUT_ADD_FILTER = 11,
  XA_MSG_COMMAND_INPUT_REMOVE_FILTER = 12,
  XA_MSG_COMMAND_INPUT_FILTERS_LIST = 13,
  XA_MSG_COMMAND_INPUT_MODULE_REGISTER = 14,
  XA_MSG_COMMAND_INPUT_MODULE_QUERY = 15,
  XA_MSG_COMMAND_INPUT_MODULES_LIST = 16,
  XA_MSG_COMMAND_OUTPUT_OPEN = 17,
  XA_MSG_COMMAND_OUTPUT_CLOSE = 18,
  XA_MSG_COMMAND_OUTPUT_SEND_MESSAGE = 19,
  XA_MSG_COMMAND_OUTPUT_MUTE = 20,
  XA_MSG_COMMAND_OUTPUT_UNMUTE = 21,
  XA_MSG_COMMAND_OUTPUT_RESET = 22,
  XA_MSG_COMMAND_OUTPUT_DRAIN = 23,
  XA_MSG_COMMAND_OUTPUT_ADD_FILTER = 24,
  XA_MSG_COMMAND_OUTPUT_REMOVE_FILTER = 25,
  XA_MSG_COMMAND_OUTPUT_FILTERS_LIST = 26,
  XA_MSG_COMMAND_OUTPUT_MODULE_REGISTER = 27,
  XA_MSG_COMMAND_OUTPUT_MODULE_QUERY = 28,
  XA_MSG_COMMAND_OUTPUT_MODULES_LIST = 29,
  XA_MSG_COMMAND_CODEC_SEND_MESSAGE = 30,
  XA_MSG_COMMAND_CODEC_MODULE_REGISTER = 31,
  XA_MSG_COMMAND_CODEC_MODULE_QUERY = 32,
  XA_MSG_COMMAND_CODEC_MODULES_LIST = 33,
  XA_MSG_COMMAND_SET_PLAYER_MODE = 34,
  XA_MSG_COMMAND_GET_PLAYER_MODE = 35,
  XA_MSG_SET_PLAYER_ENVIRONMENT_INTEGER = 36,
  XA_MSG_GET_PLAYER_ENVIRONMENT_INTEGER = 37,
  XA_MSG_SET_PLAYER_ENVIRONMENT_STRING = 38,
  XA_MSG_GET_PLAYER_ENVIRONMENT_STRING = 39,
  XA_MSG_UNSET_PLAYER_ENVIRONMENT = 40,
  XA_MSG_SET_INPUT_NAME = 41,
  XA_MSG_GET_INPUT_NAME = 42,
  XA_MSG_SET_INPUT_MODULE = 43,
  XA_MSG_GET_INPUT_MODULE = 44,
  XA_MSG_SET_INPUT_POSITION_RANGE = 45,
  XA_MSG_GET_INPUT_POSITION_RANGE = 46,
  XA_MSG_SET_INPUT_TIMECODE_GRANULARITY = 47,
  XA_MSG_GET_INPUT_TIMECODE_GRANULARITY = 48,
  XA_MSG_SET_OUTPUT_NAME = 49,
  XA_MSG_GET_OUTPUT_NAME = 50,
  XA_MSG_SET_OUTPUT_MODULE = 51,
  XA_MSG_GET_OUTPUT_MODULE = 52,
  XA_MSG_SET_OUTPUT_VOLUME = 57,
  XA_MSG_GET_OUTPUT_VOLUME = 58,
  XA_MSG_SET_OUTPUT_CHANNELS = 59,
  XA_MSG_GET_OUTPUT_CHANNELS = 60,
  XA_MSG_SET_OUTPUT_PORTS = 61,
  XA_MSG_GET_OUTPUT_PORTS = 62,
  XA_MSG_SET_CODEC_QUALITY = 63,
  XA_MSG_GET_CODEC_QUALITY = 64,
  XA_MSG_SET_CODEC_EQUALIZER = 65,
  XA_MSG_GET_CODEC_EQUALIZER = 66,
  XA_MSG_SET_NOTIFICATION_MASK = 69,
  XA_MSG_GET_NOTIFICATION_MASK = 70,
  XA_MSG_SET_DEBUG_LEVEL = 71,
  XA_MSG_GET_DEBUG_LEVEL = 72,
  XA_MSG_COMMAND_LAST = 72
};

/* Notification codes. */
enum {
  XA_MSG_NOTIFY_READY = 73,
  XA_MSG_NOTIFY_ACK = 74,
  XA_MSG_NOTIFY_NACK = 75,
  XA_MSG_NOTIFY_PONG = 76,
  XA_MSG_NOTIFY_EXITED = 77,
  XA_MSG_NOTIFY_PLAYER_STATE = 78,
  XA_MSG_NOTIFY_PLAYER_MODE = 79,
  XA_MSG_NOTIFY_PLAYER_ENVIRONMENT_INTEGER = 80,
  XA_MSG_NOTIFY_PLAYER_ENVIRONMENT_STRING = 81,
  XA_MSG_NOTIFY_INPUT_STATE = 82,
  XA_MSG_NOTIFY_INPUT_NAME = 83,
  XA_MSG_NOTIFY_INPUT_CAPS = 84,
  XA_MSG_NOTIFY_INPUT_POSITION = 85,
  XA_MSG_NOTIFY_INPUT_POSITION_RANGE = 86,
  XA_MSG_NOTIFY_INPUT_TIMECODE = 87,
  XA_MSG_NOTIFY_INPUT_TIMECODE_GRANULARITY = 88,
  XA_MSG_NOTIFY_INPUT_MODULE = 89,
  XA_MSG_NOTIFY_INPUT_MODULE_INFO = 90,
  XA_MSG_NOTIFY_INPUT_DEVICE_INFO = 91,
  XA_MSG_NOTIFY_INPUT_FILTER_INFO = 92,
  XA_MSG_NOTIFY_OUTPUT_STATE = 93,
  XA_MSG_NOTIFY_OUTPUT_NAME = 94,
  XA_MSG_NOTIFY_OUTPUT_CAPS = 95,
  XA_MSG_NOTIFY_OUTPUT_VOLUME = 100,
  XA_MSG_NOTIFY_OUTPUT_BALANCE = 101,
  XA_MSG_NOTIFY_OUTPUT_PCM_LEVEL = 102,
  XA_MSG_NOTIFY_OUTPUT_MASTER_LEVEL = 103,
  XA_MSG_NOTIFY_OUTPUT_CHANNELS = 104,
  XA_MSG_NOTIFY_OUTPUT_PORTS = 105,
  XA_MSG_NOTIFY_OUTPUT_MODULE = 106,
  XA_MSG_NOTIFY_OUTPUT_MODULE_INFO = 107,
  XA_MSG_NOTIFY_OUTPUT_DEVICE_INFO = 108,
  XA_MSG_NOTIFY_OUTPUT_FILTER_INFO = 109,
  XA_MSG_NOTIFY_STREAM_MIME_TYPE = 110,
  XA_MSG_NOTIFY_STREAM_DURATION = 111,
  XA_MSG_NOTIFY_STREAM_PARAMETERS = 112,
  XA_MSG_NOTIFY_STREAM_PROPERTIES = 113,
  XA_MSG_NOTIFY_CODEC_QUALITY = 114,
  XA_MSG_NOTIFY_CODEC_EQUALIZER = 115,
  XA_MSG_NOTIFY_CODEC_MODULE = 116,
  XA_MSG_NOTIFY_CODEC_MODULE_INFO = 117,
  XA_MSG_NOTIFY_CODEC_DEVICE_INFO = 118,
  XA_MSG_NOTIFY_NOTIFICATION_MASK = 119,
  XA_MSG_NOTIFY_DEBUG_LEVEL = 120,
  XA_MSG_NOTIFY_PROGRESS = 121,
  XA_MSG_NOTIFY_DEBUG = 122,
  XA_MSG_NOTIFY_ERROR = 123
};

/* Player states (XA_MSG_NOTIFY_PLAYER_STATE). */
enum { XA_PLAYER_STATE_STOPPED = 0, XA_PLAYER_STATE_PLAYING = 1, XA_PLAYER_STATE_PAUSED = 2, XA_PLAYER_STATE_EOS = 3 };
/* Input states (XA_MSG_NOTIFY_INPUT_STATE). */
enum { XA_INPUT_STATE_CLOSED = 0, XA_INPUT_STATE_OPEN = 1 };

/* Notification mask bits (SetNotificationMask): a cleared bit silences that
 * kind of notification; every bit is set at player creation. */
enum {
  XA_NOTIFY_MASK_ERROR = 0x1,
  XA_NOTIFY_MASK_DEBUG = 0x2,
  XA_NOTIFY_MASK_PROGRESS = 0x4,
  XA_NOTIFY_MASK_ACK = 0x8,
  XA_NOTIFY_MASK_NACK = 0x10,
  XA_NOTIFY_MASK_PLAYER_STATE = 0x20,
  XA_NOTIFY_MASK_INPUT_STATE = 0x40,
  XA_NOTIFY_MASK_INPUT_CAPS = 0x80,
  XA_NOTIFY_MASK_INPUT_NAME = 0x100,
  XA_NOTIFY_MASK_INPUT_DURATION = 0x200,
  XA_NOTIFY_MASK_INPUT_POSITION_RANGE = 0x400,
  XA_NOTIFY_MASK_INPUT_POSITION = 0x800,
  XA_NOTIFY_MASK_INPUT_TIMECODE = 0x1000,
  XA_NOTIFY_MASK_OUTPUT_STATE = 0x2000,
  XA_NOTIFY_MASK_OUTPUT_NAME = 0x4000,
  XA_NOTIFY_MASK_OUTPUT_VOLUME = 0x8000,
  XA_NOTIFY_MASK_STREAM_PARAMETERS = 0x10000,
  XA_NOTIFY_MASK_CODEC_EQUALIZER = 0x20000,
  XA_NOTIFY_MASK_ALL = 0x3FFFF
};

/* Error codes; xaudio_error_string names them. */
enum {
  XA_SUCCESS = 0,
  XA_FAILURE = -1,
  XA_ERROR_OUT_OF_MEMORY = -2,
  XA_ERROR_INVALID_PARAMETERS = -3,
  XA_ERROR_NOT_IMPLEMENTED = -4,
  XA_ERROR_NO_INPUT = -5,
  XA_ERROR_OPEN_FAILED = -6,
  XA_ERROR_CONNECT_FAILED = -7,
  XA_ERROR_TIMEOUT = -8,
  XA_ERROR_HTTP_STATUS = -9,
  XA_ERROR_DECODE = -10,
  XA_ERROR_OUTPUT = -11,
  XA_ERROR_NOT_SEEKABLE = -12,
  XA_ERROR_STREAM_ENDED = -13
};

/* Where notifications go: post is called on the engine thread and must not
 * block; the three values are handed unchanged to
 * control_win32_params_to_message on the receiving thread. */
typedef struct XA_NotificationSink {
  void (*post)(void* context, uint32_t message, uintptr_t wparam, intptr_t lparam);
  void* context;
} XA_NotificationSink;

typedef struct XA_EqualizerInfo {
  signed char left[32];
  signed char right[32];
} XA_EqualizerInfo;

typedef struct XA_Property {
  const char* name;
  const char* value;
} XA_Property;

typedef struct XA_ModuleInfo {
  uint8_t id;
  uint8_t nb_devices;
  const char* name;
  const char* description;
} XA_ModuleInfo;

typedef struct XA_DeviceInfo {
  uint8_t module_id;
  uint8_t index;
  uint8_t flags;
  const char* name;
  const char* description;
} XA_DeviceInfo;

/* A decoded notification. Strings and pointers stay valid until the next
 * control_win32_params_to_message call on the same player, or its delete. */
typedef struct XA_Message {
  int32_t code;
  union {
    uint8_t ack;
    struct { uint8_t command; int16_t code; } nack;
    uint32_t tag;
    int32_t state;
    int32_t mode;
    struct { const char* name; int32_t value; } environment_integer;
    struct { const char* name; const char* value; } environment_string;
    const char* name;
    uint32_t caps;
    struct { uint32_t offset; uint32_t range; } position;
    int32_t range;
    struct { uint8_t h, m, s, f; } timecode;
    uint32_t granularity;
    int16_t module_id;
    XA_ModuleInfo module_info;
    XA_DeviceInfo device_info;
    struct { uint8_t id; const char* name; } filter_info;
    struct { uint8_t master_level, pcm_level, balance; } volume;
    uint8_t balance;
    uint8_t pcm_level;
    uint8_t master_level;
    uint8_t channels;
    uint32_t ports;
    const char* mime_type;
    uint32_t duration;
    struct { uint32_t frequency; int16_t bitrate; uint8_t nb_channels; } stream_parameters;
    struct { uint32_t nb_properties; XA_Property* properties; } properties;
    uint8_t quality;
    XA_EqualizerInfo* equalizer;
    uint32_t notification_mask;
    uint8_t debug_level;
    struct { uint8_t source, code; int16_t value; const char* message; } progress;
    struct { uint8_t source, level; const char* message; } debug;
    struct { uint8_t source; int16_t code; const char* message; } error;
  } data;
} XA_Message;

typedef struct XA_Player XA_Player;

/* Starts a player and its thread; sink points to an XA_NotificationSink,
 * copied. 0 on success, *player set. */
XA_EXPORT int player_new(XA_Player** player, void* sink);
/* Stops and joins the player's thread; no notification is posted after. */
XA_EXPORT int player_delete(XA_Player* player);
XA_EXPORT int player_set_priority(XA_Player* player, int priority);
XA_EXPORT int player_get_priority(XA_Player* player);
XA_EXPORT const char* xaudio_error_string(int code);
XA_EXPORT unsigned long xaudio_get_version(int api_id);

/* Each queues one command; 0 when queued, a negative error code otherwise. */
XA_EXPORT int control_message_send_N(XA_Player* player, int code);
XA_EXPORT int control_message_send_P(XA_Player* player, int code, const void* ptr);
XA_EXPORT int control_message_send_S(XA_Player* player, int code, const char* s);
XA_EXPORT int control_message_send_SS(XA_Player* player, int code, const char* s1, const char* s2);
XA_EXPORT int control_message_send_SI(XA_Player* player, int code, const char* s, int i);
XA_EXPORT int control_message_send_IPI(XA_Player* player, int code, unsigned short i1, const void* ptr, unsigned int i2);
XA_EXPORT int control_message_send_I(XA_Player* player, int code, int i);
XA_EXPORT int control_message_send_II(XA_Player* player, int code, int i1, int i2);
XA_EXPORT int control_message_send_III(XA_Player* player, int code, int i1, int i2, int i3);
XA_EXPORT int control_message_send_IIII(XA_Player* player, int code, int i1, int i2, int i3, int i4);

/* Turns a posted triple back into a message: 0 when it is this player's
 * notification, non-zero when it is not the engine's. */
XA_EXPORT int control_win32_params_to_message(XA_Player* player, XA_Message* message, uint32_t msg, uintptr_t wparam,
                                              intptr_t lparam);

#ifdef __cplusplus
}
#endif
#endif
