// The listening-socket registry's private parts, reachable by tests. Nothing here is part of the
// exported interface.
#pragma once

#include <stdint.h>

namespace vrn_accept_internal {

// The registry's engine callback; userData is the token of the registration being reported.
void OnListenSocketEvent(int32_t fd, int32_t code, void* userData);

// The engine user data that fd's current entry registers with, or null when fd has no entry.
void* TokenOf(int32_t fd);

// Number of entries in the list, counted from _acceptHead along next; false in *sound when a
// prev link does not point back (or the head's prev is not null).
int32_t EntryCount(bool* sound);

}  // namespace vrn_accept_internal
