// Whether the tests run under qemu-user, as they do in a cross build, and how a test starts a
// target program there. The build defines VRNS_EMULATOR as the emulator's command line
// (program and arguments, separated by spaces); it is empty in a native build.
//
// qemu-user runs one target process as one host process, but it is not a kernel: what it does
// not emulate, a test cannot check under it. Such a test calls SKIP_UNDER_QEMU with what qemu
// lacks, and is reported as skipped there. qemu also adds a thread of its own (its RCU thread)
// to every process it runs; counts of a process's threads allow for kEmulatorThreads.
#pragma once

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#ifndef VRNS_EMULATOR
#define VRNS_EMULATOR ""
#endif

namespace vrns_test {

inline bool UnderEmulator() {
    return VRNS_EMULATOR[0] != '\0';
}

// Threads that the emulator adds to every process it runs.
inline int EmulatorThreads() {
    return UnderEmulator() ? 1 : 0;
}

// The words to put before a target program's path to run it: none in a native build.
inline std::vector<std::string> EmulatorCommand() {
    std::vector<std::string> words;
    std::istringstream in(VRNS_EMULATOR);
    for (std::string word; in >> word;) words.push_back(word);
    return words;
}

}  // namespace vrns_test

// Skips the running test under qemu-user; reason names the kernel feature qemu lacks.
#define SKIP_UNDER_QEMU(reason)                                                            \
    do {                                                                                   \
        if (::vrns_test::UnderEmulator()) GTEST_SKIP() << "under qemu-user: " << (reason); \
    } while (0)
