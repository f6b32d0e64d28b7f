// The platform's numbers for constants of its system interface, read by position by the managed
// server: 43 signed 32-bit values back to back, 172 bytes.
#pragma once

#include <stdint.h>

struct SystemDefines {
    int32_t af_inet;
    int32_t af_inet6;
    int32_t define02, define03, define04, define05, define06, define07;
    int32_t ipproto_tcp;
    int32_t ipproto_udp;
    int32_t ipproto_ip;
    int32_t ipproto_ipv6;
    int32_t ipv6_v6only;
    int32_t so_sndbuf;
    int32_t so_rcvbuf;
    int32_t so_sndtimeo;
    int32_t so_rcvtimeo;
    int32_t so_linger;
    int32_t so_reuseaddr;
    int32_t so_reuseport;
    int32_t define20, define21, define22, define23, define24, define25;
    int32_t msg_waitall;
    int32_t msg_dontwait;
    int32_t msg_nosignal;
    int32_t o_nonblock;
    int32_t define30, define31, define32;
    int32_t sys_gettid;
    int32_t define34, define35, define36, define37, define38;
    int32_t sc_phys_pages;
    int32_t sc_pagesize;
    int32_t sc_avphys_pages;
    int32_t define42;
};
static_assert(sizeof(SystemDefines) == 172, "the managed side reads the record by position");

extern "C" {
// The process's one record, built on the first call and never freed. Callers must not change it.
SystemDefines* get_system_defines();
}
