// The host library's default job: the static-file HTTP server, run through the executable's
// exported interface only.
#pragma once

// Parses the command line (--help included) and serves until SIGINT or SIGTERM; returns the
// process's exit status.
int RunServer(int argc, char** argv);
