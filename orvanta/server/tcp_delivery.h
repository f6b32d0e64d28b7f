// How much of what was written to a TCP socket has reached the peer.
#pragma once

#include <stdint.h>

// The bytes the peer has acknowledged on the socket since it was connected (TCP_INFO's
// tcpi_bytes_acked). False when the kernel does not say.
bool TcpBytesAcked(int fd, uint64_t* acked);
