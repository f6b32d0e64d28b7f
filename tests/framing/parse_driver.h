// The native side of the framing table's parse runs: requests framed one after another from a
// byte stream by the server's RequestParser, as a connection feeds it (what it left unconsumed,
// then what came next), with each request's outcome in the table's canonical text. ParseDriver.cs
// does the same with the managed parsers; the differential fuzzer compares the two.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <string_view>
#include <vector>

namespace framing {

// The outcomes (Outcomes) of stream fed in pieces cut at splits (ascending offsets into it),
// with bodies limited to bodyLimit bytes (0: the server's own limit).
std::string FrameNative(std::string_view stream, const std::vector<size_t>& splits, uint64_t bodyLimit);

}  // namespace framing
