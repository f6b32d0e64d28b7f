// The framing table's parse rows through the native server's RequestParser: each stream fed
// whole and fed a byte at a time (in 4093-byte pieces beyond 64 KiB) must give the row's
// outcomes (and the heads it pins), so no outcome depends on where the bytes were split.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/framing/framing_table.h"
#include "tests/framing/parse_driver.h"

namespace {

constexpr size_t kByteByByteMax = 65536;
constexpr size_t kLargePiece = 4093;

TEST(FramingTable, NativeParserFramesEveryRowAsTheTableSays) {
    std::vector<framing::Row> rows;
    std::string error;
    ASSERT_TRUE(framing::LoadTable(VRNS_FRAMING_TABLE, &rows, &error)) << error;
    int parsed = 0;
    for (const framing::Row& row : rows) {
        if (!row.parses) continue;
        ++parsed;
        SCOPED_TRACE("framing.table:" + std::to_string(row.line) + " " + row.name);
        std::string expected = row.parse + row.heads;
        EXPECT_EQ(framing::AsTheRowPins(row, framing::FrameNative(row.stream, {}, row.bodyLimit)), expected)
            << "fed whole";
        std::vector<size_t> splits;
        size_t step = row.stream.size() <= kByteByByteMax ? 1 : kLargePiece;
        for (size_t at = step; at < row.stream.size(); at += step) splits.push_back(at);
        EXPECT_EQ(framing::AsTheRowPins(row, framing::FrameNative(row.stream, splits, row.bodyLimit)),
                  expected)
            << "fed in pieces of " << step;
    }
    EXPECT_GT(parsed, 50) << "the table lost its rows";
}

}  // namespace
