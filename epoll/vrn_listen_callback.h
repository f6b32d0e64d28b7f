#pragma once

#include <stdint.h>

extern "C" {
// The engine's callback: socket, event code, the caller's user data.
// Codes: 1 readable, 2 writable, 0 timed out or removed, -1 error, hang-up or replaced.
typedef void (*ListenCallback)(int32_t fd, int32_t code, void* userData);
}
