// The byte classes of the request grammar as one 256-entry table, so that a byte's class costs
// one load instead of a chain of compares or a search of a punctuation string. Pure; any thread.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <array>
#include <string_view>

namespace http_chars {

enum Class : uint8_t {
    kToken = 1,    // RFC 9110 tchar: the bytes of a method, a field name
    kText = 2,     // of a field value: visible ASCII, space, tab, obs-text; no control, no DEL
    kHost = 4,     // of a Host value: unreserved, sub-delims, '%', ':' and an IP literal's brackets
    kTarget = 8,   // of a request-target: neither whitespace nor a control character
    kScheme = 16,  // after a scheme's first letter: letters, digits, '+', '-', '.'
};

constexpr bool IsDigitByte(unsigned c) {
    return c >= '0' && c <= '9';
}

constexpr bool IsAlphaByte(unsigned c) {
    return (c | 0x20) >= 'a' && (c | 0x20) <= 'z';
}

constexpr bool In(unsigned c, std::string_view set) {
    for (char s : set)
        if (static_cast<unsigned char>(s) == c) return true;
    return false;
}

constexpr uint8_t ClassOf(unsigned c) {
    bool alnum = IsDigitByte(c) || IsAlphaByte(c);
    uint8_t k = 0;
    if (alnum || In(c, "!#$%&'*+-.^_`|~")) k |= kToken;
    if (c == '\t' || (c >= ' ' && c != 0x7f)) k |= kText;
    if (alnum || In(c, "-._~!$&'()*+,;=%:[]")) k |= kHost;
    if (c > ' ' && c != 0x7f) k |= kTarget;
    if (alnum || In(c, "+-.")) k |= kScheme;
    return k;
}

constexpr std::array<uint8_t, 256> MakeTable() {
    std::array<uint8_t, 256> t{};
    for (unsigned c = 0; c < 256; ++c) t[c] = ClassOf(c);
    return t;
}

inline constexpr std::array<uint8_t, 256> kTable = MakeTable();

inline bool Is(char c, Class k) {
    return (kTable[static_cast<unsigned char>(c)] & k) != 0;
}

// The length of the prefix of s whose bytes are all of class k.
inline size_t SpanOf(std::string_view s, Class k) {
    size_t i = 0;
    while (i < s.size() && Is(s[i], k)) ++i;
    return i;
}

// Whether every byte of s is field-value text. Values are the longest runs of a head (user
// agents, cookies, accept lists), so they are checked sixteen bytes at a time where the vector
// unit every x86_64 and AArch64 processor has can do it.
bool AllText(std::string_view s);

}  // namespace http_chars
