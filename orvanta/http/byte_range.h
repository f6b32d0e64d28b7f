// The Range header field's single byte range, resolved against a representation's size.
// Pure functions; any thread.
#pragma once

#include <stdint.h>

#include <string_view>

enum class RangeKind { kNone, kSatisfiable, kUnsatisfiable };
struct ByteRange {
    RangeKind kind = RangeKind::kNone;
    uint64_t first = 0;
    uint64_t length = 0;
};
// "bytes=a-b", "bytes=a-" or "bytes=-n". Several ranges or a malformed value give kNone: the
// whole file is served, as a server may ignore Range.
ByteRange ParseRange(std::string_view value, uint64_t size);
