#include <gtest/gtest.h>
#include <sys/socket.h>

#include "net/vrn_tcp_writer.h"
#include "tests/unit/net_test_util.h"

namespace {

using namespace std::chrono_literals;
using net_test::Completions;
using net_test::TcpPair;
using net_test::TempFile;

int CorkOf(int fd) {
    int value = -1;
    socklen_t len = sizeof value;
    EXPECT_EQ(getsockopt(fd, IPPROTO_TCP, TCP_CORK, &value, &len), 0);
    return value;
}

std::vector<uint8_t> Concat(const std::vector<uint8_t>& a, const uint8_t* b, size_t bLength) {
    std::vector<uint8_t> v = a;
    v.insert(v.end(), b, b + bLength);
    return v;
}

class TcpFileWriterTest : public ::testing::Test {
  protected:
    void SetUp() override { net_test::StartEngine(); }

    void DrainPump() {
        Completions sentinel;
        Vrn_Tcp_WriteAsync(1, nullptr, 0, nullptr, 0, &sentinel, Completions::Record, 0);
        ASSERT_TRUE(sentinel.WaitFor(1));
    }
};

// A header larger than the socket, then a file region from an offset: the header finishes
// before any file byte, the socket stays corked while the request waits and is uncorked after,
// and the file's own position does not move.
TEST_F(TcpFileWriterTest, HeaderThenFileRegionInOneCorkedRun) {
    TcpPair pair;
    std::vector<uint8_t> contents = net_test::RandomBytes(400000, 11);
    TempFile file(contents);
    ASSERT_EQ(lseek(file.fd, 777, SEEK_SET), 777);
    std::vector<uint8_t> header = net_test::RandomBytes(100000, 12);
    Completions done;
    Vrn_Tcp_WriteFileAsync(pair.writer, header.data(), header.size(), file.fd, 12345, 300000, &done,
                           Completions::Record, 5);
    ASSERT_EQ(done.Count(), 0u);  // far more than the socket holds: the request waits
    EXPECT_EQ(CorkOf(pair.writer), 1);

    std::vector<uint8_t> received;
    net_test::ReadBytes(pair.reader, header.size() + 300000, &received, 3000);
    ASSERT_TRUE(done.WaitFor(1));
    EXPECT_TRUE(received == Concat(header, contents.data() + 12345, 300000)) << received.size();
    auto entries = done.Snapshot();
    EXPECT_EQ(entries[0].result, 0);
    EXPECT_EQ(entries[0].fd, pair.writer);
    EXPECT_EQ(CorkOf(pair.writer), 0);
    EXPECT_EQ(lseek(file.fd, 0, SEEK_CUR), 777);
    DrainPump();
    EXPECT_EQ(done.Count(), 1u);
}

TEST_F(TcpFileWriterTest, FileOnlyRegionArrivesAndPositionStays) {
    TcpPair pair;
    std::vector<uint8_t> contents = net_test::RandomBytes(200000, 13);
    TempFile file(contents);
    ASSERT_EQ(lseek(file.fd, 5, SEEK_SET), 5);
    Completions done;
    Vrn_Tcp_WriteFileAsync(pair.writer, nullptr, 0, file.fd, 1000, 150000, &done, Completions::Record, 5);
    std::vector<uint8_t> received;
    net_test::ReadBytes(pair.reader, 150000, &received, 3000);
    ASSERT_TRUE(done.WaitFor(1));
    EXPECT_EQ(done.Snapshot()[0].result, 0);
    EXPECT_TRUE(received == std::vector<uint8_t>(contents.begin() + 1000, contents.begin() + 151000));
    EXPECT_EQ(lseek(file.fd, 0, SEEK_CUR), 5);
    EXPECT_EQ(CorkOf(pair.writer), 0);
}

TEST_F(TcpFileWriterTest, ShortFileEndsWith104AfterTheBytesThatExist) {
    TcpPair pair;
    std::vector<uint8_t> contents = net_test::RandomBytes(5000, 14);
    TempFile file(contents);
    std::vector<uint8_t> header = {'H', 'D', 'R'};
    Completions done;
    Vrn_Tcp_WriteFileAsync(pair.writer, header.data(), header.size(), file.fd, 1000, 100000, &done,
                           Completions::Record, 5);
    std::vector<uint8_t> received;
    net_test::ReadBytes(pair.reader, 3 + 4000, &received);
    ASSERT_TRUE(done.WaitFor(1));
    EXPECT_EQ(done.Snapshot()[0].result, ECONNRESET);
    EXPECT_TRUE(received == Concat(header, contents.data() + 1000, 4000)) << received.size();
    EXPECT_EQ(net_test::ReadBytes(pair.reader, 1, nullptr, 1, 200ms), 0u);  // nothing beyond the file
    EXPECT_EQ(CorkOf(pair.writer), 0);
}

TEST_F(TcpFileWriterTest, NothingToSendCompletesWithZeroWithoutCorking) {
    TcpPair pair;
    TempFile file({1, 2, 3});
    const uint8_t header[] = "abc";
    Completions done;
    Vrn_Tcp_WriteFileAsync(pair.writer, nullptr, 3, -1, 0, 3, &done, Completions::Record, 0);
    Vrn_Tcp_WriteFileAsync(pair.writer, header, 0, file.fd, 0, 0, &done, Completions::Record, 0);
    Vrn_Tcp_WriteFileAsync(pair.writer, header, 0, -7, 0, 3, &done, Completions::Record, 0);
    Vrn_Tcp_WriteFileAsync(pair.writer, nullptr, 0, -1, 0, 0, nullptr, nullptr, 0);  // null completion
    ASSERT_TRUE(done.WaitFor(3));
    DrainPump();
    auto entries = done.Snapshot();
    ASSERT_EQ(entries.size(), 3u);
    for (auto& e : entries) {
        EXPECT_EQ(e.result, 0);
        EXPECT_NE(e.thread, std::this_thread::get_id());
    }
    EXPECT_EQ(CorkOf(pair.writer), 0);
    EXPECT_EQ(net_test::ReadBytes(pair.reader, 1, nullptr, 1, 100ms), 0u);
}

TEST_F(TcpFileWriterTest, HeaderWithoutFileSendsOnlyTheHeader) {
    TcpPair pair;
    const uint8_t header[] = "only-the-header";
    Completions done;
    Vrn_Tcp_WriteFileAsync(pair.writer, header, 15, -1, 0, 1000, &done, Completions::Record, 0);
    ASSERT_TRUE(done.WaitFor(1));
    EXPECT_EQ(done.Snapshot()[0].result, 0);
    EXPECT_NE(done.Snapshot()[0].thread, std::this_thread::get_id());
    std::vector<uint8_t> received;
    net_test::ReadBytes(pair.reader, 100, &received, 100, 200ms);
    EXPECT_EQ(std::string(received.begin(), received.end()), "only-the-header");
    EXPECT_EQ(CorkOf(pair.writer), 0);
}

// Descriptor 0 is a file like any other: a process started with standard input closed hands
// it to the first file it opens.
TEST_F(TcpFileWriterTest, FileOnDescriptorZeroIsSent) {
    TcpPair pair;
    std::vector<uint8_t> contents = net_test::RandomBytes(5000, 19);
    TempFile file(contents);
    ASSERT_EQ(dup2(file.fd, 0), 0);
    const uint8_t header[] = "zero";
    Completions done;
    Vrn_Tcp_WriteFileAsync(pair.writer, header, 4, 0, 0, contents.size(), &done, Completions::Record, 5);
    std::vector<uint8_t> received;
    net_test::ReadBytes(pair.reader, 4 + contents.size(), &received, 4096);
    ASSERT_TRUE(done.WaitFor(1));
    EXPECT_EQ(done.Snapshot()[0].result, 0);
    EXPECT_TRUE(received == Concat({'z', 'e', 'r', 'o'}, contents.data(), contents.size()))
        << received.size();
}

TEST_F(TcpFileWriterTest, SocketThatCannotBeCorkedIsSentToUncorked) {
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    net_test::SetNonBlocking(sv[0]);
    std::vector<uint8_t> contents = net_test::RandomBytes(300000, 15);
    TempFile file(contents);
    const uint8_t header[] = "unix";
    Completions done;
    Vrn_Tcp_WriteFileAsync(sv[0], header, 4, file.fd, 0, contents.size(), &done, Completions::Record, 5);
    std::vector<uint8_t> received;
    net_test::ReadBytes(sv[1], 4 + contents.size(), &received, 4096);
    ASSERT_TRUE(done.WaitFor(1));
    EXPECT_EQ(done.Snapshot()[0].result, 0);
    EXPECT_TRUE(received == Concat({'u', 'n', 'i', 'x'}, contents.data(), contents.size()));
    close(sv[0]);
    close(sv[1]);
}

TEST_F(TcpFileWriterTest, RemoveDuringAWaitEndsWith110AndUncorks) {
    TcpPair pair;
    net_test::FillSocket(pair.writer);
    std::vector<uint8_t> contents = net_test::RandomBytes(100000, 16);
    TempFile file(contents);
    Completions done;
    Vrn_Tcp_WriteFileAsync(pair.writer, nullptr, 0, file.fd, 0, contents.size(), &done, Completions::Record,
                           30);
    ASSERT_EQ(done.Count(), 0u);
    EXPECT_EQ(CorkOf(pair.writer), 1);
    VrnEpoll_Remove(pair.writer);
    ASSERT_TRUE(done.WaitFor(1));
    EXPECT_EQ(done.Snapshot()[0].result, ETIMEDOUT);
    EXPECT_EQ(CorkOf(pair.writer), 0);
}

TEST_F(TcpFileWriterTest, PeerThatNeverReadsTimesOutWith110) {
    TcpPair pair;
    net_test::FillSocket(pair.writer);
    const std::vector<uint8_t> header(50000, 3);
    Completions done;
    auto start = std::chrono::steady_clock::now();
    Vrn_Tcp_WriteFileAsync(pair.writer, header.data(), header.size(), -1, 0, 0, &done, Completions::Record,
                           2);
    ASSERT_TRUE(done.WaitFor(1, 6s));
    EXPECT_EQ(done.Snapshot()[0].result, ETIMEDOUT);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 1500ms);
}

TEST_F(TcpFileWriterTest, PeerResetWhileWaitingEndsWith104OrTheSendError) {
    TcpPair pair;
    net_test::FillSocket(pair.writer);
    std::vector<uint8_t> contents = net_test::RandomBytes(100000, 17);
    TempFile file(contents);
    const uint8_t header[] = "hdr";
    Completions done;
    Vrn_Tcp_WriteFileAsync(pair.writer, header, 3, file.fd, 0, contents.size(), &done, Completions::Record,
                           30);
    ASSERT_EQ(done.Count(), 0u);
    pair.ResetReader();
    ASSERT_TRUE(done.WaitFor(1));
    int32_t result = done.Snapshot()[0].result;
    EXPECT_TRUE(result == ECONNRESET || result == EPIPE) << result;
    DrainPump();
    EXPECT_EQ(done.Count(), 1u);
}

// A waiting request without a completion is given up when the engine reports: the file and the
// socket are closed, since nobody is left to do it.
TEST_F(TcpFileWriterTest, NullCompletionAtAnEngineReportClosesFileAndSocket) {
    TcpPair pair;
    net_test::FillSocket(pair.writer);
    std::vector<uint8_t> contents = net_test::RandomBytes(100000, 18);
    TempFile file(contents);
    int fileCopy = dup(file.fd);
    ASSERT_GT(fileCopy, 3);
    ASSERT_GT(pair.writer, 3);
    Vrn_Tcp_WriteFileAsync(pair.writer, nullptr, 0, fileCopy, 0, contents.size(), nullptr, nullptr, 30);
    VrnEpoll_Remove(pair.writer);
    EXPECT_TRUE(
        WaitUntil([&] { return fcntl(fileCopy, F_GETFD) == -1 && fcntl(pair.writer, F_GETFD) == -1; }));
    pair.writer = -1;  // closed by the sender
}

// The same with the file on descriptor 0, which a process started with standard input closed
// hands to the first file it opens: closed all the same. (A socket on 0 is the vector writer
// test's; both writers share the engine callback.)
TEST_F(TcpFileWriterTest, NullCompletionClosesAFileOnDescriptorZero) {
    TcpPair pair;
    net_test::FillSocket(pair.writer);
    std::vector<uint8_t> contents = net_test::RandomBytes(100000, 20);
    TempFile file(contents);
    ASSERT_EQ(dup2(file.fd, 0), 0);
    Vrn_Tcp_WriteFileAsync(pair.writer, nullptr, 0, 0, 0, contents.size(), nullptr, nullptr, 30);
    VrnEpoll_Remove(pair.writer);
    EXPECT_TRUE(WaitUntil([&] { return fcntl(0, F_GETFD) == -1 && fcntl(pair.writer, F_GETFD) == -1; }));
    pair.writer = -1;  // closed by the sender
}

}  // namespace
