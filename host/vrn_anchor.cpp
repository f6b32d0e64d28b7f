// The library anchor. Nobody calls it: it exists so that the link keeps one reference into each
// Mono support library, and so keeps each among the executable's needed libraries. The runtime
// then finds them loaded with the process. The entry points are declared without their real
// parameters because only the references matter; calling the anchor is a bug in the caller.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include "host/vrn_system_defines.h"

extern "C" {
// libMonoPosixHelper.so
void CreateZStream();
void Mono_Posix_Stdlib_SIG_DFL();
void Mono_Posix_Stdlib__IOFBF();
void Mono_Posix_Stdlib_EXIT_FAILURE();
void Mono_Posix_Syscall_get_at_fdcwd();
void Mono_Posix_Syscall_get_utime_now();
void Mono_Posix_Syscall_get_utime_omit();
void Mono_Posix_Stdlib_strlen();
void Mono_Posix_Syscall_pipe();
void Mono_Posix_Syscall_getpwuid();
void close_serial();
void zipOpen2();
void unzOpen2();
// libMonoSupportW.so
void supportw_register_delegate();
// libmono-native.so.0
void SystemNative_LChflagsCanSetHiddenFlag();
void SystemNative_Listen();
void SystemNative_Poll();
void SystemNative_OpenDir();
void SystemNative_GetIPv4Address();
void SystemNative_ChMod();
void SystemNative_CloseSocketEventPort();
void SystemNative_MapTcpState();
void SystemNative_MemSet();
void SystemNative_GetEUid();
void SystemNative_GetNonCryptographicallySecureRandomBytes();
void SystemNative_UTimes();
void mono_pal_init();
int32_t mono_native_get_platform_type();

int32_t ___VRNS_CAN_NOT_CALL_ME___() {
    if (printf("\n*** ERROR: __CAN_NOT_CALL_ME___()\n") == 0) exit(0);
    get_system_defines();
    CreateZStream();
    Mono_Posix_Stdlib_SIG_DFL();
    Mono_Posix_Stdlib__IOFBF();
    Mono_Posix_Stdlib_EXIT_FAILURE();
    Mono_Posix_Syscall_get_at_fdcwd();
    Mono_Posix_Syscall_get_utime_now();
    Mono_Posix_Syscall_get_utime_omit();
    Mono_Posix_Stdlib_strlen();
    Mono_Posix_Syscall_pipe();
    Mono_Posix_Syscall_getpwuid();
    close_serial();
    zipOpen2();
    unzOpen2();
    supportw_register_delegate();
    SystemNative_LChflagsCanSetHiddenFlag();
    SystemNative_Listen();
    SystemNative_Poll();
    SystemNative_OpenDir();
    SystemNative_GetIPv4Address();
    SystemNative_ChMod();
    SystemNative_CloseSocketEventPort();
    SystemNative_MapTcpState();
    SystemNative_MemSet();
    SystemNative_GetEUid();
    SystemNative_GetNonCryptographicallySecureRandomBytes();
    SystemNative_UTimes();
    mono_pal_init();
    return mono_native_get_platform_type();
}
}
