// The engine's callback type and the codes it is called with.
#pragma once

#include <stdint.h>

extern "C" {
// The engine's callback: socket, event code, the caller's user data.
typedef void (*ListenCallback)(int32_t fd, int32_t code, void* userData);
}

// Event codes. Readable and writable also name the direction that VrnEpoll_Listen's rwevent asks
// for (1 read, 2 write).
constexpr int32_t kVrnEventReadable = 1;
constexpr int32_t kVrnEventWritable = 2;
constexpr int32_t kVrnEventTimedOut = 0;  // the time-out expired, or VrnEpoll_Remove cancelled it
constexpr int32_t kVrnEventFailed = -1;   // error or hang-up, or a new VrnEpoll_Listen replaced it

// The longest time-out, in seconds, that a registration keeps: longer ones are clamped to it.
constexpr int32_t kVrnMaxTimeoutSec = 235;
