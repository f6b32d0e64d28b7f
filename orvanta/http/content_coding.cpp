#include "orvanta/http/content_coding.h"

#include <algorithm>

#include "orvanta/http/http_text.h"

namespace {

// A qvalue ("0", "0.5", "1.000") in thousandths; false when malformed.
bool ParseQValue(std::string_view s, int* thousandths) {
    if (s.empty() || (s[0] != '0' && s[0] != '1') || s.size() > 5) return false;
    int value = (s[0] - '0') * 1000;
    if (s.size() > 1) {
        if (s[1] != '.') return false;
        int scale = 100;
        for (char c : s.substr(2)) {
            if (c < '0' || c > '9') return false;
            value += (c - '0') * scale;
            scale /= 10;
        }
    }
    if (value > 1000) return false;
    *thousandths = value;
    return true;
}

// One element "coding;q=0.5": its coding and weight (1000 when no q is given).
bool ParseElement(std::string_view element, std::string_view* coding, int* weight) {
    size_t semi = element.find(';');
    *coding = TrimSpaces(element.substr(0, semi));
    *weight = 1000;
    while (semi != std::string_view::npos) {
        element.remove_prefix(semi + 1);
        semi = element.find(';');
        std::string_view param = TrimSpaces(element.substr(0, semi));
        if (param.size() >= 2 && (param[0] == 'q' || param[0] == 'Q') && param[1] == '=' &&
            !ParseQValue(param.substr(2), weight))
            return false;
    }
    return !coding->empty();
}

}  // namespace

bool AcceptsGzip(std::string_view accept) {
    int gzipWeight = -1, anyWeight = -1;
    ForEachListItem(accept, [&](std::string_view element) {
        std::string_view coding;
        int weight;
        if (!ParseElement(element, &coding, &weight)) return;
        if (EqualsNoCase(coding, "gzip") || EqualsNoCase(coding, "x-gzip"))
            gzipWeight = std::max(gzipWeight, weight);
        else if (coding == "*")
            anyWeight = std::max(anyWeight, weight);
    });
    return gzipWeight >= 0 ? gzipWeight > 0 : anyWeight > 0;
}
