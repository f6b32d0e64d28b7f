#pragma once

#include <stdint.h>

extern "C" {
// A writer's completion: socket, result, the caller's user data. Results: 0 all written;
// a positive errno; -1 a failure without an error number; 104 the connection failed while the
// request waited; 110 the wait ended without writability.
typedef void (*WriteCompletion)(int32_t fd, int32_t result, void* userData);
}
