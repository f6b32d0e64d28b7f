#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <stdexcept>

#include "net/vrn_tcp_writer.h"
#include "net/vrn_tcp_writer_internal.h"
#include "tests/unit/net_test_util.h"

namespace {

using namespace std::chrono_literals;
using net_test::Completions;
using net_test::TcpPair;
using vrn_tcp_writer_internal::VectorWriteRequest;

const std::string kWritevEbadf = "* vrn_tcp_writer call writev error, errno:9\n";

VectorWriteRequest RequestOver(const uint8_t* a, uint64_t la, const uint8_t* b, uint64_t lb) {
    return VectorWriteRequest{5, la + lb, a, la, b, lb, nullptr, nullptr, 0, 30};
}

TEST(VectorWriteRequest, GatherListFollowsPartialWrites) {
    uint8_t a[10], b[6];
    iovec v[2];

    // Inside the first buffer: resume at its first unwritten byte, still carrying the second.
    VectorWriteRequest inFirst = RequestOver(a, 10, b, 6);
    inFirst.Advance(4);
    ASSERT_EQ(inFirst.GatherList(v), 2);
    EXPECT_EQ(v[0].iov_base, a + 4);
    EXPECT_EQ(v[0].iov_len, 6u);
    EXPECT_EQ(v[1].iov_base, b);
    EXPECT_EQ(v[1].iov_len, 6u);

    // Exactly at the first buffer's end: the second alone, from its start.
    VectorWriteRequest atEnd = RequestOver(a, 10, b, 6);
    atEnd.Advance(10);
    ASSERT_EQ(atEnd.GatherList(v), 1);
    EXPECT_EQ(v[0].iov_base, b);
    EXPECT_EQ(v[0].iov_len, 6u);
    EXPECT_EQ(atEnd.remaining, 6u);

    // Inside the second: it moves up and resumes at its first unwritten byte.
    VectorWriteRequest inSecond = RequestOver(a, 10, b, 6);
    inSecond.Advance(13);
    ASSERT_EQ(inSecond.GatherList(v), 1);
    EXPECT_EQ(v[0].iov_base, b + 3);
    EXPECT_EQ(v[0].iov_len, 3u);
    EXPECT_EQ(inSecond.data2, nullptr);
    EXPECT_EQ(inSecond.remaining, inSecond.length1 + inSecond.length2 - inSecond.offset);

    // A second length without a pointer is not passed to writev.
    VectorWriteRequest noPointer = RequestOver(a, 10, nullptr, 6);
    EXPECT_EQ(noPointer.GatherList(v), 1);
    EXPECT_EQ(v[0].iov_len, 10u);
}

class TcpWriterTest : public ::testing::Test {
  protected:
    void SetUp() override { net_test::StartEngine(); }

    // Queues an empty write and waits for its completion: the pump has run what came before.
    void DrainPump() {
        Completions sentinel;
        Vrn_Tcp_WriteAsync(1, nullptr, 0, nullptr, 0, &sentinel, Completions::Record, 0);
        ASSERT_TRUE(sentinel.WaitFor(1));
    }
};

// Writes header + body through a socket far smaller than the data, reading slowly so that the
// request waits many times, and checks every byte arrives once and in order.
void ExpectWholeTransfer(size_t headerLength, size_t bodyLength, unsigned seed) {
    TcpPair pair;
    std::vector<uint8_t> header = net_test::RandomBytes(headerLength, seed);
    std::vector<uint8_t> body = net_test::RandomBytes(bodyLength, seed + 1);
    Completions done;
    Vrn_Tcp_WriteAsync(pair.writer, header.data(), header.size(), body.data(), body.size(), &done,
                       Completions::Record, 5);
    ASSERT_EQ(done.Count(), 0u);  // far more than the socket holds: the request waits
    std::vector<uint8_t> received;
    net_test::ReadBytes(pair.reader, headerLength + bodyLength, &received, 3000);
    ASSERT_TRUE(done.WaitFor(1));
    std::vector<uint8_t> expected = header;
    expected.insert(expected.end(), body.begin(), body.end());
    EXPECT_TRUE(received == expected) << "received " << received.size() << " of " << expected.size();
    auto entries = done.Snapshot();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].fd, pair.writer);
    EXPECT_EQ(entries[0].result, 0);
}

TEST_F(TcpWriterTest, BytesArriveCompleteAndInOrderAcrossManyWaits) {
    ExpectWholeTransfer(1, 600000, 1);       // the first buffer goes at once, waits in the second
    ExpectWholeTransfer(300000, 300000, 2);  // waits inside both buffers
    ExpectWholeTransfer(600000, 7, 3);       // waits inside the first, the second goes at the end
}

TEST_F(TcpWriterTest, OnlySecondBufferIsWrittenAsTheOnlyOne) {
    TcpPair pair;
    const uint8_t first[] = "XXXX";
    std::vector<uint8_t> second = net_test::RandomBytes(200000, 7);
    Completions done;
    // Null first buffer with a length, then a first buffer of length 0: both are skipped.
    Vrn_Tcp_WriteAsync(pair.writer, nullptr, 4, second.data(), 100000, &done, Completions::Record, 5);
    std::vector<uint8_t> received;
    net_test::ReadBytes(pair.reader, 100000, &received);
    ASSERT_TRUE(done.WaitFor(1));
    Vrn_Tcp_WriteAsync(pair.writer, first, 0, second.data() + 100000, 100000, &done, Completions::Record, 5);
    net_test::ReadBytes(pair.reader, 100000, &received);
    ASSERT_TRUE(done.WaitFor(2));
    EXPECT_TRUE(received == second);
    for (auto& e : done.Snapshot()) EXPECT_EQ(e.result, 0);
}

TEST_F(TcpWriterTest, NothingToWriteCompletesWithZeroOnAPumpWorker) {
    TcpPair pair;
    const uint8_t byte = 1;
    Completions done;
    Vrn_Tcp_WriteAsync(pair.writer, nullptr, 0, nullptr, 0, &done, Completions::Record, 0);
    Vrn_Tcp_WriteAsync(pair.writer, &byte, 0, &byte, 0, &done, Completions::Record, 0);
    ASSERT_TRUE(done.WaitFor(2));
    DrainPump();
    auto entries = done.Snapshot();
    ASSERT_EQ(entries.size(), 2u);
    for (auto& e : entries) {
        EXPECT_EQ(e.result, 0);
        EXPECT_EQ(e.fd, pair.writer);
        EXPECT_NE(e.thread, std::this_thread::get_id());
    }
    char c;
    EXPECT_EQ(recv(pair.reader, &c, 1, MSG_DONTWAIT), -1);  // nothing was written
}

TEST_F(TcpWriterTest, LengthsWhoseSumOverflowsAreRefusedWithEinval) {
    TcpPair pair;
    const uint8_t data[] = "ab";
    const uint64_t cases[][2] = {{UINT64_MAX, 1}, {UINT64_MAX / 2 + 1, UINT64_MAX / 2 + 1}, {2, UINT64_MAX}};
    Completions done;
    for (auto& lengths : cases) {
        Vrn_Tcp_WriteAsync(pair.writer, data, lengths[0], data + 1, lengths[1], &done, Completions::Record,
                           0);
    }
    ASSERT_TRUE(done.WaitFor(3));
    for (auto& e : done.Snapshot()) {
        EXPECT_EQ(e.result, EINVAL);
        EXPECT_NE(e.thread, std::this_thread::get_id());
    }
    char c;
    EXPECT_EQ(recv(pair.reader, &c, 1, MSG_DONTWAIT), -1);  // nothing was written
}

TEST_F(TcpWriterTest, WriteThatFitsCompletesOnAPumpWorker) {
    TcpPair pair;
    const uint8_t data[] = "hello";
    Completions done;
    Vrn_Tcp_WriteAsync(pair.writer, data, 5, nullptr, 0, &done, Completions::Record, 0);
    ASSERT_TRUE(done.WaitFor(1));
    auto entries = done.Snapshot();
    EXPECT_EQ(entries[0].result, 0);
    EXPECT_NE(entries[0].thread, std::this_thread::get_id());
    std::vector<uint8_t> received;
    net_test::ReadBytes(pair.reader, 5, &received);
    EXPECT_EQ(std::string(received.begin(), received.end()), "hello");
}

TEST_F(TcpWriterTest, PeerThatNeverReadsTimesOutWith110) {
    TcpPair pair;
    net_test::FillSocket(pair.writer);
    std::vector<uint8_t> data(100000, 7);
    Completions done;
    auto start = std::chrono::steady_clock::now();
    Vrn_Tcp_WriteAsync(pair.writer, data.data(), data.size(), nullptr, 0, &done, Completions::Record, 2);
    ASSERT_TRUE(done.WaitFor(1, 6s));
    auto waited = std::chrono::steady_clock::now() - start;
    auto entries = done.Snapshot();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].result, ETIMEDOUT);
    EXPECT_EQ(entries[0].fd, pair.writer);
    EXPECT_GE(waited, 1500ms);  // a time-out of 2 s, not an immediate failure
}

TEST_F(TcpWriterTest, PeerResetWhileWaitingEndsWith104OrTheWriteError) {
    TcpPair pair;
    net_test::FillSocket(pair.writer);
    std::vector<uint8_t> data(100000, 7);
    Completions done;
    Vrn_Tcp_WriteAsync(pair.writer, data.data(), data.size(), nullptr, 0, &done, Completions::Record, 30);
    EXPECT_EQ(done.Count(), 0u);
    pair.ResetReader();
    ASSERT_TRUE(done.WaitFor(1));
    int32_t result = done.Snapshot()[0].result;
    EXPECT_TRUE(result == ECONNRESET || result == EPIPE) << result;
    DrainPump();
    EXPECT_EQ(done.Count(), 1u);
}

TEST_F(TcpWriterTest, RemoveDuringAWaitEndsWith110) {
    TcpPair pair;
    net_test::FillSocket(pair.writer);
    std::vector<uint8_t> data(100000, 7);
    Completions done;
    Vrn_Tcp_WriteAsync(pair.writer, data.data(), data.size(), nullptr, 0, &done, Completions::Record, 30);
    EXPECT_EQ(done.Count(), 0u);
    VrnEpoll_Remove(pair.writer);
    ASSERT_TRUE(done.WaitFor(1));
    EXPECT_EQ(done.Snapshot()[0].result, ETIMEDOUT);
}

TEST_F(TcpWriterTest, SecondWriterOnTheSameSocketEndsTheFirstWith104) {
    TcpPair pair;
    size_t filled = net_test::FillSocket(pair.writer);
    std::vector<uint8_t> data(100000, 7);
    Completions first, second;
    Vrn_Tcp_WriteAsync(pair.writer, data.data(), data.size(), nullptr, 0, &first, Completions::Record, 30);
    Vrn_Tcp_WriteAsync(pair.writer, data.data(), data.size(), nullptr, 0, &second, Completions::Record, 30);
    ASSERT_TRUE(first.WaitFor(1));
    EXPECT_EQ(first.Snapshot()[0].result, ECONNRESET);
    EXPECT_EQ(second.Count(), 0u);
    // The second registration survives: it completes once the reader drains everything.
    net_test::ReadBytes(pair.reader, filled + 2 * data.size(), nullptr, 65536, 1s);
    ASSERT_TRUE(second.WaitFor(1));
    EXPECT_EQ(second.Snapshot()[0].result, 0);
    DrainPump();
    EXPECT_EQ(first.Count(), 1u);
    EXPECT_EQ(second.Count(), 1u);
}

TEST_F(TcpWriterTest, WritevErrorIsLoggedOnceAndReportedThroughThePump) {
    const uint8_t data[] = "abc";
    Completions done;
    Vrn_Tcp_WriteAsync(999999, data, 3, nullptr, 0, &done, Completions::Record, 0);
    ASSERT_TRUE(done.WaitFor(1));
    auto entries = done.Snapshot();
    EXPECT_EQ(entries[0].result, EBADF);
    EXPECT_EQ(entries[0].fd, 999999);
    EXPECT_NE(entries[0].thread, std::this_thread::get_id());
    EXPECT_EQ(test_host::CountLines(kWritevEbadf), 1u);
}

TEST_F(TcpWriterTest, SecondLengthWithoutPointerWritesFirstThenFailsWithEfault) {
    TcpPair pair;
    const uint8_t data[] = "abc";
    Completions done;
    Vrn_Tcp_WriteAsync(pair.writer, data, 3, nullptr, 5, &done, Completions::Record, 0);
    ASSERT_TRUE(done.WaitFor(1));
    EXPECT_EQ(done.Snapshot()[0].result, EFAULT);
    EXPECT_EQ(test_host::CountLines("* vrn_tcp_writer call writev error, errno:14\n"), 1u);
    std::vector<uint8_t> received;
    net_test::ReadBytes(pair.reader, 3, &received);
    EXPECT_EQ(std::string(received.begin(), received.end()), "abc");
}

TEST_F(TcpWriterTest, NullCompletionOnACallThatEndsAtOnceIsDropped) {
    TcpPair pair;
    const uint8_t data[] = "abc";
    Vrn_Tcp_WriteAsync(pair.writer, nullptr, 0, nullptr, 0, nullptr, nullptr, 0);  // nothing to write
    Vrn_Tcp_WriteAsync(pair.writer, data, 3, nullptr, 0, nullptr, nullptr, 0);     // written at once
    Vrn_Tcp_WriteAsync(999999, data, 3, nullptr, 0, nullptr, nullptr, 0);          // failed at once
    DrainPump();  // a queued null completion would have been called by now
    std::vector<uint8_t> received;
    net_test::ReadBytes(pair.reader, 3, &received);
    EXPECT_EQ(std::string(received.begin(), received.end()), "abc");
    EXPECT_EQ(test_host::CountLines(kWritevEbadf), 1u);
}

// A waiting request without a completion is given up when the engine reports, even with a
// time-out code: the socket is shut down and closed, since nobody is left to do it.
TEST_F(TcpWriterTest, NullCompletionAtAnEngineReportClosesTheSocket) {
    TcpPair pair;
    net_test::FillSocket(pair.writer);
    std::vector<uint8_t> data(100000, 7);
    Vrn_Tcp_WriteAsync(pair.writer, data.data(), data.size(), nullptr, 0, nullptr, nullptr, 30);
    VrnEpoll_Remove(pair.writer);
    EXPECT_TRUE(WaitUntil([&] { return fcntl(pair.writer, F_GETFD) == -1; }));
    pair.writer = -1;  // closed by the writer
}

// Descriptor 0 is a socket like any other when standard input was closed: closed all the same.
TEST_F(TcpWriterTest, NullCompletionClosesASocketOnDescriptorZero) {
    TcpPair pair;
    ASSERT_TRUE(pair.MoveWriterToZeroAndFill());
    std::vector<uint8_t> data(100000, 7);
    Vrn_Tcp_WriteAsync(0, data.data(), data.size(), nullptr, 0, nullptr, nullptr, 30);
    VrnEpoll_Remove(0);
    EXPECT_TRUE(WaitUntil([&] { return fcntl(0, F_GETFD) == -1; }));
}

void ThrowStd(int32_t, int32_t, void* userData) {
    static_cast<std::atomic<int>*>(userData)->fetch_add(1);
    throw std::runtime_error("completion failed");
}

void ThrowOther(int32_t, int32_t, void* userData) {
    static_cast<std::atomic<int>*>(userData)->fetch_add(1);
    throw 42;
}

TEST_F(TcpWriterTest, ThrowingCompletionFromThePumpIsLoggedAndContained) {
    std::atomic<int> calls{0};
    Vrn_Tcp_WriteAsync(1, nullptr, 0, nullptr, 0, &calls, ThrowStd, 0);
    Vrn_Tcp_WriteAsync(1, nullptr, 0, nullptr, 0, &calls, ThrowOther, 0);
    DrainPump();
    EXPECT_EQ(calls.load(), 2);
    // The standard exception's text follows the header line; the other exception leaves no line.
    auto lines = test_host::Lines();
    auto header = std::find(lines.begin(), lines.end(), "Vrn_TcpWrite_EventPump_Task.DoEvent() Error: \n");
    ASSERT_NE(header, lines.end());
    ASSERT_NE(header + 1, lines.end());
    EXPECT_EQ(header[1], "completion failed\n");
    EXPECT_EQ(test_host::CountLines("Vrn_TcpWrite_EventPump_Task.DoEvent() Error: \n"), 1u);
}

TEST_F(TcpWriterTest, ThrowingCompletionAfterAWaitIsDroppedSilently) {
    TcpPair pair;
    size_t filled = net_test::FillSocket(pair.writer);
    std::vector<uint8_t> data(50000, 7);
    std::atomic<int> calls{0};
    Vrn_Tcp_WriteAsync(pair.writer, data.data(), data.size(), nullptr, 0, &calls, ThrowStd, 30);
    net_test::ReadBytes(pair.reader, filled + data.size(), nullptr);
    ASSERT_TRUE(WaitUntil([&] { return calls.load() == 1; }));
    DrainPump();
    EXPECT_EQ(test_host::CountLines("Vrn_TcpWrite_EventPump_Task.DoEvent() Error: \n"), 0u);
}

}  // namespace
