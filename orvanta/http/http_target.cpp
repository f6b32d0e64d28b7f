#include "orvanta/http/http_target.h"

namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// "http://host/p?q" (absolute form) is reduced to "/p?q" ("?q" when there is no path: its
// path is then "/"); origin form passes unchanged. The parser has checked the form already.
bool OriginForm(std::string_view target, std::string_view* out) {
    if (!target.empty() && target[0] == '/') {
        *out = target;
        return true;
    }
    size_t authority = target.find("://");
    if (authority == 0 || authority == std::string_view::npos) return false;
    size_t path = target.find_first_of("/?#", authority + 3);
    *out = path == std::string_view::npos ? std::string_view() : target.substr(path);
    return true;
}

}  // namespace

bool PercentDecode(std::string_view s, std::string* out) {
    out->clear();
    out->reserve(s.size());
    for (size_t i = 0; i < s.size(); ++i) {
        char c = s[i];
        if (c == '%') {
            if (i + 2 >= s.size()) return false;
            int hi = HexValue(s[i + 1]), lo = HexValue(s[i + 2]);
            if (hi < 0 || lo < 0) return false;
            c = char(hi * 16 + lo);
            i += 2;
        }
        if (c == '\0') return false;
        out->push_back(c);
    }
    return true;
}

bool SplitAndDecodeTarget(std::string_view target, TargetPath* out, int* status) {
    *status = 400;
    std::string_view origin;
    if (!OriginForm(target, &origin)) return false;
    size_t end = origin.find_first_of("?#");
    std::string_view path = origin.substr(0, end);
    if (path.empty()) path = "/";
    out->rawPath.assign(path);
    out->rawQuery.clear();
    if (end != std::string_view::npos && origin[end] == '?') {
        std::string_view query = origin.substr(end + 1);
        out->rawQuery.assign(query.substr(0, query.find('#')));
    }
    // An escaped slash would be a separator to the file system but not to a proxy's rules or
    // the cache key: two readings of one path.
    if (path.find("%2f") != std::string_view::npos || path.find("%2F") != std::string_view::npos)
        return false;
    if (!PercentDecode(path, &out->decoded)) return false;
    *status = 0;
    return true;
}
