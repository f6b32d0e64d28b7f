#include "orvanta/server/access_log.h"

#include <stdio.h>

// Quotes, backslashes and control bytes are escaped so a request cannot forge log lines.
std::string EscapeForLog(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (unsigned char c : text) {
        if (c < 0x20 || c >= 0x7f || c == '"' || c == '\\') {
            char esc[5];
            snprintf(esc, sizeof esc, "\\x%02x", c);
            out += esc;
        } else {
            out += char(c);
        }
    }
    return out;
}

std::string AccessLogLine(std::string_view peer, time_t when, std::string_view requestLine, int status,
                          uint64_t bytes) {
    tm local;
    localtime_r(&when, &local);
    char stamp[64];
    strftime(stamp, sizeof stamp, "[%d/%b/%Y:%H:%M:%S %z]", &local);
    std::string line(peer.empty() ? "-" : peer);
    line += " - - ";
    line += stamp;
    line += " \"";
    line += EscapeForLog(requestLine);
    if (requestLine.empty()) line += '-';
    line += "\" " + std::to_string(status) + " " + (bytes ? std::to_string(bytes) : std::string("-")) + "\n";
    return line;
}
