// The access log's line in the common log format, and the escaping that keeps a client from
// forging or breaking a log line. Pure functions; any thread.
#pragma once

#include <stdint.h>
#include <time.h>

#include <string>
#include <string_view>

// text with quotes, backslashes and control bytes as \xHH.
std::string EscapeForLog(std::string_view text);

// One line in the common log format, with its newline:
// 127.0.0.1 - - [07/Dec/2026:08:33:42 +0000] "GET / HTTP/1.1" 200 1234
std::string AccessLogLine(std::string_view peer, time_t when, std::string_view requestLine, int status,
                          uint64_t bytes);
