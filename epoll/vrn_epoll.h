// The socket event engine's exported interface: one-shot read and write interest per socket,
// each with a time-out in seconds, delivered through the event pump.
#pragma once

#include <stdint.h>

#include "epoll/vrn_listen_callback.h"

extern "C" {
int32_t VrnEpoll_Init();
int32_t VrnEpoll_Start();
void VrnEpoll_Close();
int32_t VrnEpoll_IsRunning();
// rwevent: kVrnEventReadable or kVrnEventWritable. timeout: seconds, 0 for the default of 30.
int32_t VrnEpoll_Listen(int32_t fd, int32_t rwevent, void* userData, ListenCallback callback,
                        int32_t timeout);
void VrnEpoll_Remove(int32_t fd);
int64_t VrnNowMsec();
}
