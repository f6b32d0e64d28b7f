// The two asynchronous TCP writers: up to two memory buffers through writev, and a header plus
// a file region through send and sendfile under TCP_CORK. Each call ends in one completion.
#pragma once

#include <stdint.h>

#include "host/vrn_block_pool.h"
#include "net/vrn_write_completion.h"
#include "pump/vrn_event_pump.h"

// Delivers one write completion on a pump worker. Owns nothing.
class Vrn_TcpWriter_EventPump_Task : public Vrn_Event_Pump_TaskBase {
  public:
    Vrn_TcpWriter_EventPump_Task(int32_t fd, WriteCompletion completion, int32_t result, void* userData)
        : fd(fd), completion(completion), result(result), userData(userData) {}
    void DoEvent() override;
    ~Vrn_TcpWriter_EventPump_Task() override;
    // Made once per event: recycled through a block pool (see host/vrn_block_pool.h).
    static void* operator new(size_t n) { return VrnPoolNew<Vrn_TcpWriter_EventPump_Task>(n); }
    static void operator delete(void* p, size_t n) noexcept {
        VrnPoolDelete<Vrn_TcpWriter_EventPump_Task>(p, n);
    }

    int32_t fd;
    WriteCompletion completion;
    int32_t result;
    void* userData;
};

extern "C" {
void Vrn_Tcp_WriteAsync(int32_t fd, const uint8_t* data1, uint64_t length1, const uint8_t* data2,
                        uint64_t length2, void* userData, WriteCompletion completion, int32_t timeout);
void Vrn_Tcp_WriteFileAsync(int32_t fd, const uint8_t* header, uint64_t headerLength, int32_t fileFd,
                            int64_t fileOffset, uint64_t fileLength, void* userData,
                            WriteCompletion completion, int32_t timeout);
}
