#include "orvanta/http/byte_range.h"

#include <strings.h>

namespace {

// Digits only. A number too large for 64 bits stands for the largest: it lies beyond any file,
// so a first position there is unsatisfiable and a last position or a suffix takes the rest.
bool ParseUnsigned(std::string_view s, uint64_t* out) {
    if (s.empty()) return false;
    uint64_t v = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return false;
        uint64_t digit = uint64_t(c - '0');
        v = v > (UINT64_MAX - digit) / 10 ? UINT64_MAX : v * 10 + digit;
    }
    *out = v;
    return true;
}

}  // namespace

ByteRange ParseRange(std::string_view value, uint64_t size) {
    ByteRange r;
    if (value.size() < 6 || strncasecmp(value.data(), "bytes=", 6) != 0) return r;
    value.remove_prefix(6);
    size_t dash = value.find('-');
    if (dash == std::string_view::npos || value.find(',') != std::string_view::npos) return r;
    std::string_view a = value.substr(0, dash), b = value.substr(dash + 1);
    uint64_t first = 0, last = 0;
    if (a.empty()) {  // the last n bytes
        if (!ParseUnsigned(b, &last)) return r;
        if (last == 0 || size == 0) return ByteRange{RangeKind::kUnsatisfiable, 0, 0};
        uint64_t n = last < size ? last : size;
        return ByteRange{RangeKind::kSatisfiable, size - n, n};
    }
    if (!ParseUnsigned(a, &first)) return r;
    if (b.empty())
        last = size > 0 ? size - 1 : 0;
    else if (!ParseUnsigned(b, &last) || last < first)
        return r;
    if (first >= size) return ByteRange{RangeKind::kUnsatisfiable, 0, 0};
    if (last >= size) last = size - 1;
    return ByteRange{RangeKind::kSatisfiable, first, last - first + 1};
}
