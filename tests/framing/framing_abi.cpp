// The native parse driver behind a C ABI, for the differential fuzzer (VrnsFramingFuzz.exe),
// which calls it through P/Invoke from the process that runs the managed parsers.
#include <stdint.h>
#include <string.h>

#include <string>
#include <vector>

#include "tests/framing/parse_driver.h"

// The outcomes of stream (len bytes) fed in pieces cut at splits (count ascending offsets),
// bodies limited to bodyLimit (0: the server's own), written to out when they fit in its cap
// bytes. Returns their length, so a caller whose out was too small calls again with more.
extern "C" __attribute__((visibility("default"))) int32_t vrns_frame_native(const uint8_t* stream,
                                                                            int32_t len,
                                                                            const int32_t* splits,
                                                                            int32_t count, int64_t bodyLimit,
                                                                            char* out, int32_t cap) {
    std::vector<size_t> cuts(splits, splits + count);
    std::string text = framing::FrameNative(
        std::string_view(reinterpret_cast<const char*>(stream), size_t(len)), cuts, uint64_t(bodyLimit));
    if (text.size() <= size_t(cap)) memcpy(out, text.data(), text.size());
    return int32_t(text.size());
}
