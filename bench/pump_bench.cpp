// Pump throughput: tasks per second from one, two and four producers, beside a plain mutex and
// condition-variable queue with one consumer thread, and the process's CPU time per task. Both run the same
// task shape: a heap object with a virtual DoEvent, deleted by the consumer after it ran.
#include <benchmark/benchmark.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "bench/process_cpu.h"
#include "pump/vrn_event_pump.h"

namespace {

constexpr int kTasksPerRound = 1000;

// One producer's completion count; the task that completes a round wakes the producer.
struct Round {
    std::atomic<int64_t> done{0};
    std::mutex mu;
    std::condition_variable cv;

    void Complete(int64_t target) {
        std::unique_lock<std::mutex> lock(mu);
        cv.wait(lock, [&] { return done.load(std::memory_order_acquire) >= target; });
    }
};

class CountTask : public Vrn_Event_Pump_TaskBase {
  public:
    CountTask(Round* round, int64_t target) : round_(round), target_(target) {}
    void DoEvent() override {
        if (round_->done.fetch_add(1, std::memory_order_acq_rel) + 1 == target_) {
            std::lock_guard<std::mutex> guard(round_->mu);
            round_->cv.notify_one();
        }
    }

  private:
    Round* round_;
    int64_t target_;  // the count at which this producer's round is complete
};

// The plain peer: one lock, one condition variable, one consumer, a notify per push.
class PlainQueue {
  public:
    PlainQueue() : consumer_([this] { Consume(); }) {}
    ~PlainQueue() {
        {
            std::lock_guard<std::mutex> guard(mu_);
            stop_ = true;
        }
        cv_.notify_one();
        consumer_.join();
    }
    void Push(Vrn_Event_Pump_TaskBase* task) {
        {
            std::lock_guard<std::mutex> guard(mu_);
            tasks_.push_back(task);
        }
        cv_.notify_one();
    }

  private:
    void Consume() {
        for (;;) {
            Vrn_Event_Pump_TaskBase* task;
            {
                std::unique_lock<std::mutex> lock(mu_);
                cv_.wait(lock, [&] { return stop_ || !tasks_.empty(); });
                if (tasks_.empty()) return;
                task = tasks_.front();
                tasks_.pop_front();
            }
            task->DoEvent();
            delete task;
        }
    }

    std::mutex mu_;
    std::condition_variable cv_;
    std::deque<Vrn_Event_Pump_TaskBase*> tasks_;  // guarded by mu_
    bool stop_ = false;                           // guarded by mu_
    std::thread consumer_;
};

PlainQueue& Plain() {
    static PlainQueue queue;
    return queue;
}

// Each benchmark thread is one producer: it queues a round of tasks and waits for all of them.
template <typename Submit>
void RunRounds(benchmark::State& state, Submit submit) {
    Round round;
    int64_t target = 0;
    ProcessCpu cpu;
    for (auto _ : state) {
        target += kTasksPerRound;
        for (int i = 0; i < kTasksPerRound; ++i) submit(new CountTask(&round, target));
        round.Complete(target);
    }
    state.SetItemsProcessed(state.iterations() * kTasksPerRound);
    cpu.Report(state, state.iterations() * kTasksPerRound * state.threads());
}

void BM_Pump(benchmark::State& state) {
    RunRounds(state, [](Vrn_Event_Pump_TaskBase* task) { VRN_EventPump_AddTask(task); });
}

void BM_MutexCondvarQueue(benchmark::State& state) {
    PlainQueue& queue = Plain();
    RunRounds(state, [&](Vrn_Event_Pump_TaskBase* task) { queue.Push(task); });
}

BENCHMARK(BM_Pump)->Threads(1)->Threads(2)->Threads(4)->UseRealTime();
BENCHMARK(BM_MutexCondvarQueue)->Threads(1)->Threads(2)->Threads(4)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
