// Listening-socket registry: keeps listening sockets armed for incoming connections.
#pragma once

#include <stdint.h>

extern "C" {
// Called on a pump worker with kVrnAcceptWaiting or kVrnAcceptEnded.
typedef void (*AcceptCallback)(int32_t fd, int32_t code);

void Vrn_Accept_Init();
int32_t Vrn_Accept_Add(int32_t fd, AcceptCallback callback);
void Vrn_Accept_Remove(int32_t fd);
}

constexpr int32_t kVrnAcceptWaiting = 1;  // a connection is waiting to be accepted
constexpr int32_t kVrnAcceptEnded = -1;   // the registration ended; the socket is no longer armed
