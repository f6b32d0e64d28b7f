// HTTP dates (RFC 9110 section 5.6.7). Pure functions; any thread.
#pragma once

#include <time.h>

#include <string>
#include <string_view>

// "Sun, 06 Nov 1994 08:49:37 GMT".
std::string FormatHttpDate(time_t t);
// The same, appended to *out without a string of its own.
void AppendHttpDate(std::string* out, time_t t);
// Accepts the IMF-fixdate, RFC 850 and asctime forms; false for anything else.
bool ParseHttpDate(std::string_view text, time_t* out);
