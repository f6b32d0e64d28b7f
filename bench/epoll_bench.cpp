// Socketpair ping-pong, rounds per second with 1, 64 and 1024 pairs, one ball per pair, and the
// process's CPU time per round. A round is one byte received, read and sent back by a callback. Three runs of
// the same shape:
//   Engine: through the engine; the callback reads, registers again and writes the byte back.
//   Raw:    the floor this design allows: one-shot epoll re-armed per event, one loop thread
//           handing events to one worker thread through a locked queue.
//   Libuv:  the same ping-pong on libuv (when found), callbacks on the loop's own thread.
#include <benchmark/benchmark.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "bench/process_cpu.h"
#include "epoll/vrn_epoll.h"

#ifdef VRNS_HAVE_LIBUV
#include <uv.h>
#endif

namespace {

constexpr int kRoundsPerPair = 50;  // rounds per pair in one benchmark iteration
constexpr int kMinRounds = 2000;

std::vector<int> MakePairs(int pairs) {
    std::vector<int> fds(2 * pairs);
    for (int i = 0; i < pairs; ++i) {
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, &fds[2 * i]) != 0) abort();
    }
    return fds;
}

void CloseAll(const std::vector<int>& fds) {
    for (int fd : fds) close(fd);
}

void Serve(std::vector<int>& fds) {
    for (size_t i = 0; i < fds.size(); i += 2) (void)!write(fds[i], "o", 1);
}

// Rounds completed so far; the round that reaches the target wakes the benchmark thread.
struct RoundCounter {
    std::atomic<int64_t> rounds{0};
    std::atomic<int64_t> target{INT64_MAX};
    std::mutex mu;
    std::condition_variable cv;

    void Add() {
        if (rounds.fetch_add(1, std::memory_order_relaxed) + 1 == target.load(std::memory_order_relaxed)) {
            std::lock_guard<std::mutex> guard(mu);
            cv.notify_one();
        }
    }
    void WaitFor(int64_t more) {
        std::unique_lock<std::mutex> lock(mu);
        target.store(rounds.load() + more);
        cv.wait(lock, [&] { return rounds.load() >= target.load(); });
    }
};

int64_t RoundsPerIteration(int pairs) {
    return std::max<int64_t>(kMinRounds, int64_t(pairs) * kRoundsPerPair);
}

void Report(benchmark::State& state, int64_t rounds) {
    state.SetItemsProcessed(rounds);
    state.counters["rounds/s"] = benchmark::Counter(double(rounds), benchmark::Counter::kIsRate);
}

// ---- Engine ----

struct EngineGame {
    RoundCounter counter;
    std::atomic<bool> stopping{false};
    std::atomic<int64_t> armed{0};  // registrations not yet delivered
};

void EngineBounce(int32_t fd, int32_t code, void* userData) {
    auto* game = static_cast<EngineGame*>(userData);
    char ball;
    if (code == 1 && !game->stopping.load(std::memory_order_relaxed) && read(fd, &ball, 1) == 1) {
        game->armed.fetch_add(1, std::memory_order_relaxed);
        if (VrnEpoll_Listen(fd, 1, game, EngineBounce, 30) != 0) game->armed.fetch_sub(1);
        (void)!write(fd, &ball, 1);
        game->counter.Add();
    }
    game->armed.fetch_sub(1, std::memory_order_release);
}

void EnsureEngine() {
    static bool started = [] { return VrnEpoll_Init() == 0 && VrnEpoll_Start() == 0; }();
    if (!started) abort();
}

void BM_Engine(benchmark::State& state) {
    EnsureEngine();
    int pairs = int(state.range(0));
    std::vector<int> fds = MakePairs(pairs);
    EngineGame game;
    for (int fd : fds) {
        game.armed.fetch_add(1);
        if (VrnEpoll_Listen(fd, 1, &game, EngineBounce, 30) != 0) abort();
    }
    Serve(fds);
    int64_t perIteration = RoundsPerIteration(pairs);
    ProcessCpu cpu;
    for (auto _ : state) game.counter.WaitFor(perIteration);
    Report(state, perIteration * int64_t(state.iterations()));
    cpu.Report(state, perIteration * int64_t(state.iterations()));
    // Stop: a callback past its check may register once more, so remove until none is left.
    game.stopping.store(true);
    while (game.armed.load(std::memory_order_acquire) > 0) {
        for (int fd : fds) VrnEpoll_Remove(fd);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    CloseAll(fds);
}
BENCHMARK(BM_Engine)->Arg(1)->Arg(64)->Arg(1024)->UseRealTime();

// ---- Raw reference ----

class RawPingPong {
  public:
    explicit RawPingPong(std::vector<int>& fds) : fds_(fds), epfd_(epoll_create1(0)) {
        for (int fd : fds_) Arm(EPOLL_CTL_ADD, fd);
        loop_ = std::thread([this] { Loop(); });
        worker_ = std::thread([this] { Work(); });
    }
    ~RawPingPong() {
        stop_.store(true);
        loop_.join();
        {
            std::lock_guard<std::mutex> guard(mu_);
            queue_.push_back(-1);
        }
        cv_.notify_one();
        worker_.join();
        close(epfd_);
    }
    RoundCounter counter;

  private:
    void Arm(int op, int fd) {
        epoll_event ev{};
        ev.events = EPOLLIN | EPOLLONESHOT;
        ev.data.fd = fd;
        while (epoll_ctl(epfd_, op, fd, &ev) == -1 && errno == EINTR) {
        }
    }
    void Loop() {
        epoll_event events[512];
        while (!stop_.load(std::memory_order_relaxed)) {
            int n = epoll_wait(epfd_, events, 512, 100);
            if (n <= 0) continue;
            {
                std::lock_guard<std::mutex> guard(mu_);
                for (int i = 0; i < n; ++i) queue_.push_back(events[i].data.fd);
            }
            cv_.notify_one();
        }
    }
    void Work() {
        for (;;) {
            int fd;
            {
                std::unique_lock<std::mutex> lock(mu_);
                cv_.wait(lock, [&] { return !queue_.empty(); });
                fd = queue_.front();
                queue_.pop_front();
            }
            if (fd < 0) return;
            char ball;
            if (read(fd, &ball, 1) == 1) {
                Arm(EPOLL_CTL_MOD, fd);
                (void)!write(fd, &ball, 1);
                counter.Add();
            }
        }
    }

    std::vector<int>& fds_;
    int epfd_;
    std::atomic<bool> stop_{false};
    std::mutex mu_;
    std::condition_variable cv_;
    std::deque<int> queue_;  // guarded by mu_
    std::thread loop_;
    std::thread worker_;
};

void BM_Raw(benchmark::State& state) {
    int pairs = int(state.range(0));
    std::vector<int> fds = MakePairs(pairs);
    int64_t perIteration = RoundsPerIteration(pairs);
    {
        RawPingPong game(fds);
        Serve(fds);
        ProcessCpu cpu;
        for (auto _ : state) game.counter.WaitFor(perIteration);
        Report(state, perIteration * int64_t(state.iterations()));
        cpu.Report(state, perIteration * int64_t(state.iterations()));
    }
    CloseAll(fds);
}
BENCHMARK(BM_Raw)->Arg(1)->Arg(64)->Arg(1024)->UseRealTime();

// ---- libuv ----

#ifdef VRNS_HAVE_LIBUV
struct UvGame {
    int64_t rounds = 0;
    int64_t target = 0;
    uv_loop_t* loop = nullptr;
};

void UvAlloc(uv_handle_t*, size_t, uv_buf_t* buf) {
    static char slab[64];
    *buf = uv_buf_init(slab, sizeof slab);
}

void UvRead(uv_stream_t* stream, ssize_t nread, const uv_buf_t* buf) {
    if (nread <= 0) return;
    auto* game = static_cast<UvGame*>(stream->data);
    uv_buf_t reply = uv_buf_init(buf->base, unsigned(nread));
    uv_try_write(stream, &reply, 1);
    game->rounds += nread;
    if (game->rounds >= game->target) uv_stop(game->loop);
}

void BM_Libuv(benchmark::State& state) {
    int pairs = int(state.range(0));
    std::vector<int> fds = MakePairs(pairs);
    uv_loop_t loop;
    uv_loop_init(&loop);
    UvGame game;
    game.loop = &loop;
    std::vector<uv_pipe_t> pipes(fds.size());
    for (size_t i = 0; i < fds.size(); ++i) {
        uv_pipe_init(&loop, &pipes[i], 0);
        uv_pipe_open(&pipes[i], fds[i]);
        pipes[i].data = &game;
        uv_read_start(reinterpret_cast<uv_stream_t*>(&pipes[i]), UvAlloc, UvRead);
    }
    Serve(fds);
    int64_t perIteration = RoundsPerIteration(pairs);
    ProcessCpu cpu;
    for (auto _ : state) {
        game.target = game.rounds + perIteration;
        while (game.rounds < game.target) uv_run(&loop, UV_RUN_DEFAULT);
    }
    Report(state, perIteration * int64_t(state.iterations()));
    cpu.Report(state, perIteration * int64_t(state.iterations()));
    for (auto& p : pipes) uv_close(reinterpret_cast<uv_handle_t*>(&p), nullptr);  // closes the fds
    uv_run(&loop, UV_RUN_DEFAULT);
    uv_loop_close(&loop);
}
BENCHMARK(BM_Libuv)->Arg(1)->Arg(64)->Arg(1024)->UseRealTime();
#endif

}  // namespace

BENCHMARK_MAIN();
