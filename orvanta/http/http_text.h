// Small text helpers for HTTP field values. Pure; any thread.
#pragma once

#include <strings.h>

#include <string_view>

// s without leading and trailing spaces and tabs.
inline std::string_view TrimSpaces(std::string_view s) {
    size_t start = s.find_first_not_of(" \t");
    if (start == std::string_view::npos) return {};
    return s.substr(start, s.find_last_not_of(" \t") - start + 1);
}

inline bool EqualsNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

// Calls f(item) for each comma-separated item of list, trimmed; empty items are skipped.
template <typename F>
void ForEachListItem(std::string_view list, F&& f) {
    while (!list.empty()) {
        size_t comma = list.find(',');
        std::string_view item = TrimSpaces(list.substr(0, comma));
        list.remove_prefix(comma == std::string_view::npos ? list.size() : comma + 1);
        if (!item.empty()) f(item);
    }
}
