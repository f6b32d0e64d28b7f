#!/usr/bin/env bash
# The executable's link is part of its interface: names exported by name, needed libraries in
# order, the run path, and the host library resolving every name in the running process.
# Usage: exports_test.sh path/to/vrns [EMULATOR ARGS...]; a cross-built vrns runs under the
# emulator given after its path (binutils' nm and readelf read either architecture).
set -u
vrns=${1:?usage: exports_test.sh path/to/vrns [EMULATOR ARGS...]}
shift
run=("$@" "$vrns")
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

names=(VrnEpoll_Init VrnEpoll_Start VrnEpoll_Close VrnEpoll_IsRunning VrnEpoll_Listen VrnEpoll_Remove
  VrnNowMsec VRN_EventPump_AddTask Vrn_Accept_Init Vrn_Accept_Add Vrn_Accept_Remove Vrn_Tcp_WriteAsync
  Vrn_Tcp_WriteFileAsync VrnEpoll_GetStats VRN_EventPump_GetStats get_system_defines ___VRNS_CAN_NOT_CALL_ME___ _lastAddMsec
  _ZN8VrnMutexC1Ev _ZN8VrnMutexD1Ev _ZN8VrnMutex4LockEv _ZN8VrnMutex7TrylockEv _ZN8VrnMutex6UnlockEv
  _ZTI23Vrn_Event_Pump_TaskBase _ZTI23VrnEpoll_EventPump_Task _ZTI28Vrn_TcpWriter_EventPump_Task)

# 1. Every name is in the dynamic symbol table, defined.
defined=$(nm -D --defined-only "$vrns" | awk '{print $NF}')
for n in "${names[@]}"; do
  grep -qx -- "$n" <<<"$defined" || fail "$n is not exported"
done
# The standard library is linked in and exported too.
grep -q '^_ZNSt' <<<"$defined" || fail "the standard library's symbols are not exported"

# 2. The anchor keeps a reference into each Mono support library.
undefined=$(nm -D --undefined-only "$vrns" | awk '{print $NF}')
for n in CreateZStream unzOpen2 supportw_register_delegate SystemNative_Listen mono_pal_init \
  mono_native_get_platform_type; do
  grep -qx -- "$n" <<<"$undefined" || fail "no reference to $n"
done

# 3. Needed libraries in order, no libstdc++, and the run path.
needed=$(readelf -d "$vrns" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | tr '\n' ' ')
expected="libMonoPosixHelper.so libMonoSupportW.so libmono-native.so.0 liborvanta.so libc.so.6 libpthread.so.0 "
case "$needed" in
  "$expected"*) ;;
  *) fail "needed libraries are '$needed', expected to start with '$expected'" ;;
esac
grep -q 'libstdc++' <<<"$needed" && fail "libstdc++ is a needed library"
runpath=$(readelf -d "$vrns" | sed -n 's/.*(RUNPATH).*\[\(.*\)\]/\1/p; s/.*(RPATH).*\[\(.*\)\]/\1/p')
[ "$runpath" = '$ORIGIN/runtime/lib' ] || fail "run path is '$runpath'"

# 4. The process starts from runtime/lib beside it, and the host library finds every name.
out=$("${run[@]}" --check-exports 2>&1) || fail "--check-exports failed: $out"
for n in "${names[@]}"; do
  grep -qx -- "ok $n" <<<"$out" || fail "host library could not resolve $n"
done

# 5. main hands over arguments and returns the host library's status unchanged.
"${run[@]}" --version | grep -q '^vrns ' || fail "--version"
"${run[@]}" --no-such-option >/dev/null 2>&1
rc=$?
[ "$rc" -ne 0 ] || fail "a bad option exited 0"

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
echo "all link checks passed"
