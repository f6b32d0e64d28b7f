// Linux's own <linux/tcp.h>: glibc's struct tcp_info stops before tcpi_bytes_acked, and the two
// headers cannot be included together, so this file includes only the kernel's.
#include "orvanta/server/tcp_delivery.h"

#include <linux/tcp.h>
#include <netinet/in.h>
#include <stddef.h>
#include <sys/socket.h>

bool TcpBytesAcked(int fd, uint64_t* acked) {
    tcp_info info{};
    socklen_t length = sizeof info;
    if (getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &length) != 0) return false;
    // Kernels before 4.1 return a shorter record without the field.
    if (length < offsetof(tcp_info, tcpi_bytes_acked) + sizeof info.tcpi_bytes_acked) return false;
    *acked = info.tcpi_bytes_acked;
    return true;
}
