#include "orvanta/http/http_date.h"

namespace {

// Formatting a date costs more than a response's other headers together. A response carries
// the current second (Date) and a file's time (Last-Modified), and a busy server serves few hot
// files: a handful of recent dates per thread spares nearly every formatting.
struct CachedDates {
    static constexpr int kDates = 4;
    time_t second[kDates] = {-1, -1, -1, -1};
    std::string text[kDates];
    int next = 0;  // the slot replaced next
};

// The text of t, from this thread's cache (formatted into it when missing).
const std::string& CachedHttpDate(time_t t) {
    // Initial-exec: the library is loaded with the executable (static TLS, no call per use).
    [[gnu::tls_model("initial-exec")]] thread_local CachedDates cache;
    for (int i = 0; i < CachedDates::kDates; ++i)
        if (cache.second[i] == t) return cache.text[i];
    tm g;
    gmtime_r(&t, &g);
    char buf[64];
    strftime(buf, sizeof buf, "%a, %d %b %Y %H:%M:%S GMT", &g);
    int slot = cache.next;
    cache.next = (slot + 1) % CachedDates::kDates;
    cache.second[slot] = t;
    cache.text[slot] = buf;
    return cache.text[slot];
}

}  // namespace

std::string FormatHttpDate(time_t t) {
    return CachedHttpDate(t);
}

void AppendHttpDate(std::string* out, time_t t) {
    out->append(CachedHttpDate(t));
}

bool ParseHttpDate(std::string_view text, time_t* out) {
    static const char* const kFormats[] = {
        "%a, %d %b %Y %H:%M:%S GMT",  // IMF-fixdate
        "%A, %d-%b-%y %H:%M:%S GMT",  // RFC 850
        "%a %b %e %H:%M:%S %Y",       // asctime
    };
    std::string s(text);
    for (const char* format : kFormats) {
        tm g{};
        const char* end = strptime(s.c_str(), format, &g);
        if (end && *end == '\0') {
            *out = timegm(&g);
            return true;
        }
    }
    return false;
}
