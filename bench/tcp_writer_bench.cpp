// Bulk transfer over loopback TCP, 1 GiB per iteration: the vector writer (64 KiB buffers, each
// next write started from the previous one's completion) and the file sender (one region of a
// cached file), beside a plain blocking write loop and a plain sendfile loop (uncorked, and
// corked like the file sender, which shows what the cork itself costs on loopback). A reader
// thread drains the other end; an iteration ends when the reader has every byte.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "epoll/vrn_epoll.h"
#include "net/vrn_tcp_writer.h"

namespace {

constexpr uint64_t kTotal = uint64_t(1) << 30;
constexpr uint64_t kChunk = 64 * 1024;

void StartEngineOnce() {
    static bool started = [] {
        signal(SIGPIPE, SIG_IGN);
        return VrnEpoll_Init() == 0 && VrnEpoll_Start() == 0;
    }();
    if (!started) abort();
}

// A connected loopback pair whose reader end is drained by a thread of its own.
class DrainedPair {
  public:
    explicit DrainedPair(bool nonBlockingWriter) {
        int listener = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        if (bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
            listen(listener, 1) != 0 ||
            getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
            abort();
        }
        writer = socket(AF_INET, SOCK_STREAM, 0);
        if (connect(writer, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) abort();
        reader_ = accept(listener, nullptr, nullptr);
        close(listener);
        if (nonBlockingWriter) fcntl(writer, F_SETFL, fcntl(writer, F_GETFL) | O_NONBLOCK);
        drain_ = std::thread([this] { Drain(); });
    }
    ~DrainedPair() {
        shutdown(writer, SHUT_WR);
        drain_.join();
        close(writer);
        close(reader_);
    }
    // Waits until the reader has received everything written so far plus bytes.
    void WaitReceived(uint64_t bytes) {
        expected_ += bytes;
        while (received_.load(std::memory_order_acquire) < expected_) std::this_thread::yield();
    }

    int writer;

  private:
    void Drain() {
        std::vector<char> buf(1 << 20);
        for (;;) {
            ssize_t n = read(reader_, buf.data(), buf.size());
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return;
            received_.fetch_add(uint64_t(n), std::memory_order_release);
        }
    }

    int reader_;
    uint64_t expected_ = 0;
    std::atomic<uint64_t> received_{0};
    std::thread drain_;
};

// A 1 GiB file, written once and read back once so that its pages are cached.
int CachedFile() {
    static int fd = [] {
        char path[] = "/tmp/vrns_bench_fileXXXXXX";
        int f = mkstemp(path);
        unlink(path);
        std::vector<char> block(1 << 20, 'f');
        for (uint64_t done = 0; done < kTotal; done += block.size()) {
            if (write(f, block.data(), block.size()) != ssize_t(block.size())) abort();
        }
        for (uint64_t done = 0; done < kTotal; done += block.size()) {
            if (pread(f, block.data(), block.size(), off_t(done)) != ssize_t(block.size())) abort();
        }
        return f;
    }();
    return fd;
}

// Ends once: the last completion, or the first failure.
struct Done {
    std::mutex lock;
    std::condition_variable cv;
    bool done = false;   // guarded by lock
    int32_t result = 0;  // guarded by lock

    void Set(int32_t r) {
        std::lock_guard<std::mutex> guard(lock);
        done = true;
        result = r;
        cv.notify_all();
    }
    int32_t Wait() {
        std::unique_lock<std::mutex> guard(lock);
        cv.wait(guard, [this] { return done; });
        return result;
    }
};

struct WriteChain {
    const uint8_t* buffer;
    uint64_t left;  // bytes not yet handed to a write; touched by one completion at a time
    Done done;
};

void OnChunkWritten(int32_t fd, int32_t result, void* userData) {
    auto* chain = static_cast<WriteChain*>(userData);
    if (result != 0 || chain->left == 0) {
        chain->done.Set(result);
        return;
    }
    chain->left -= kChunk;
    Vrn_Tcp_WriteAsync(fd, chain->buffer, kChunk, nullptr, 0, chain, OnChunkWritten, 30);
}

void OnFileSent(int32_t, int32_t result, void* userData) {
    static_cast<Done*>(userData)->Set(result);
}

void Finish(benchmark::State& state) {
    state.SetBytesProcessed(int64_t(state.iterations() * kTotal));
}

void BM_PlainWriteLoop(benchmark::State& state) {
    DrainedPair pair(false);
    std::vector<uint8_t> buffer(kChunk, 'w');
    for (auto _ : state) {
        for (uint64_t sent = 0; sent < kTotal;) {
            ssize_t n = write(pair.writer, buffer.data(), kChunk);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) abort();
            sent += uint64_t(n);
        }
        pair.WaitReceived(kTotal);
    }
    Finish(state);
}

void BM_VrnTcpWriteAsync(benchmark::State& state) {
    StartEngineOnce();
    DrainedPair pair(true);
    std::vector<uint8_t> buffer(kChunk, 'w');
    for (auto _ : state) {
        WriteChain chain{buffer.data(), kTotal - kChunk, {}};
        Vrn_Tcp_WriteAsync(pair.writer, buffer.data(), kChunk, nullptr, 0, &chain, OnChunkWritten, 30);
        if (chain.done.Wait() != 0) abort();
        pair.WaitReceived(kTotal);
    }
    Finish(state);
}

// state.range(0): 1 to cork the socket around each transfer, as the file sender does.
void BM_PlainSendfileLoop(benchmark::State& state) {
    int file = CachedFile();
    DrainedPair pair(false);
    int cork = int(state.range(0));
    for (auto _ : state) {
        if (cork) setsockopt(pair.writer, IPPROTO_TCP, TCP_CORK, &cork, sizeof cork);
        off_t offset = 0;
        while (uint64_t(offset) < kTotal) {
            ssize_t n = sendfile(pair.writer, file, &offset, kTotal - uint64_t(offset));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) abort();
        }
        if (cork) {
            int off = 0;
            setsockopt(pair.writer, IPPROTO_TCP, TCP_CORK, &off, sizeof off);
        }
        pair.WaitReceived(kTotal);
    }
    Finish(state);
}

void BM_VrnTcpWriteFileAsync(benchmark::State& state) {
    StartEngineOnce();
    int file = CachedFile();
    DrainedPair pair(true);
    for (auto _ : state) {
        Done done;
        Vrn_Tcp_WriteFileAsync(pair.writer, nullptr, 0, file, 0, kTotal, &done, OnFileSent, 30);
        if (done.Wait() != 0) abort();
        pair.WaitReceived(kTotal);
    }
    Finish(state);
}

BENCHMARK(BM_PlainWriteLoop)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);
BENCHMARK(BM_VrnTcpWriteAsync)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);
BENCHMARK(BM_PlainSendfileLoop)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);
BENCHMARK(BM_VrnTcpWriteFileAsync)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

}  // namespace

BENCHMARK_MAIN();
