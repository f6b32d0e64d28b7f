// Request-targets: the path a target names, percent-decoded exactly once, beside the raw path
// and query as the client sent them. Pure functions; any thread.
#pragma once

#include <string>
#include <string_view>

// The decoded path of a request-target ("/a b" for "/a%20b?x=1"), plus the raw path and query
// as the client sent them (for redirects). False with *status set (400) when the target is not
// a usable path: a malformed escape, an escaped NUL or an escaped slash ("%2F").
struct TargetPath {
    std::string decoded;
    std::string rawPath;
    std::string rawQuery;
};
bool SplitAndDecodeTarget(std::string_view target, TargetPath* out, int* status);

// Percent-decodes s once; false on a malformed escape or a decoded NUL.
bool PercentDecode(std::string_view s, std::string* out);
