// Runs a managed application on the embedded Mono runtime: vrns APP.exe [ARGS...].
#pragma once

// True when arg names an assembly (it ends in .exe or .dll), whether or not the file exists, so
// that a mistyped path gets the assembly's error instead of being taken for a server option.
bool NamesManagedAssembly(const char* arg);

// Runs argv[1]'s Main with argv[2..] and ends the process with its status; returns only
// a non-zero status when the runtime or the assembly could not be brought up.
int RunManagedApplication(int argc, char** argv);
