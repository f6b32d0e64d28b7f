#include <gtest/gtest.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "epoll/vrn_epoll_event_pump_task.h"
#include "pump/vrn_event_pump.h"
#include "pump/vrn_event_pump_internal.h"
#include "tests/host_double/test_host.h"
#include "tests/unit/signal_storm.h"

namespace pi = vrn_pump_internal;
using namespace std::chrono_literals;

namespace {

constexpr int64_t kStart = 100000;  // manual clock reading at the pump's start

// Counts its own deletions; runs fn.
class FnTask : public Vrn_Event_Pump_TaskBase {
  public:
    explicit FnTask(std::function<void()> fn, std::shared_ptr<std::atomic<int>> deleted = nullptr)
        : fn_(std::move(fn)), deleted_(std::move(deleted)) {}
    void DoEvent() override { fn_(); }
    ~FnTask() override {
        if (deleted_) deleted_->fetch_add(1);
    }

  private:
    std::function<void()> fn_;
    std::shared_ptr<std::atomic<int>> deleted_;
};

// A task body that holds its worker until the test releases it.
class Gate {
  public:
    void Enter() {
        std::unique_lock<std::mutex> lock(mu_);
        entered_ = true;
        thread_ = std::this_thread::get_id();
        tid_ = pid_t(syscall(SYS_gettid));
        cv_.notify_all();
        cv_.wait_for(lock, 30s, [&] { return released_; });
    }
    bool WaitEntered() {
        std::unique_lock<std::mutex> lock(mu_);
        return cv_.wait_for(lock, 10s, [&] { return entered_; });
    }
    void Release() {
        std::lock_guard<std::mutex> guard(mu_);
        released_ = true;
        cv_.notify_all();
    }
    std::thread::id Thread() {
        std::lock_guard<std::mutex> guard(mu_);
        return thread_;
    }
    pid_t Tid() {
        std::lock_guard<std::mutex> guard(mu_);
        return tid_;
    }

  private:
    std::mutex mu_;
    std::condition_variable cv_;
    bool entered_ = false;
    bool released_ = false;
    std::thread::id thread_;
    pid_t tid_ = 0;
};

void QueueGate(const std::shared_ptr<Gate>& gate) {
    VRN_EventPump_AddTask(new FnTask([gate] { gate->Enter(); }));
}

// Counts tasks run; shared with the tasks so it outlives any of them.
struct Counter {
    std::atomic<int> runs{0};
    bool WaitFor(int n) {
        return WaitUntil([&] { return runs.load() >= n; }, 10s);
    }
};

void QueueFillers(const std::shared_ptr<Counter>& counter, int n) {
    for (int i = 0; i < n; ++i) VRN_EventPump_AddTask(new FnTask([counter] { counter->runs.fetch_add(1); }));
}

// Puts the persistent worker inside one batch of n gates, holding it in gate 0, so that the
// growth test runs between gates at moments the test chooses.
class GatedBatch {
  public:
    explicit GatedBatch(int n) {
        auto hold = std::make_shared<Gate>();
        QueueGate(hold);
        EXPECT_TRUE(hold->WaitEntered());
        for (int i = 0; i < n; ++i) gates_.push_back(std::make_shared<Gate>());
        for (auto& g : gates_) QueueGate(g);
        hold->Release();  // the worker now takes all n gates as one batch
        EXPECT_TRUE(gates_[0]->WaitEntered());
    }
    ~GatedBatch() { ReleaseAll(); }
    void ReleaseAll() {
        for (auto& g : gates_) g->Release();
    }
    // Lets the worker leave gate i; the growth test runs before it enters gate i + 1.
    bool Step(int i) {
        gates_[i]->Release();
        return gates_[i + 1]->WaitEntered();
    }
    std::thread::id Thread() { return gates_[0]->Thread(); }

  private:
    std::vector<std::shared_ptr<Gate>> gates_;
};

TEST(Pump, NullTaskStartsThePumpAndQueuesNothing) {
    test_host::UseManualClock(kStart);
    EXPECT_FALSE(pi::PumpStarted());
    uint64_t reads = test_host::ClockReads();
    VRN_EventPump_AddTask(nullptr);
    EXPECT_TRUE(pi::PumpStarted());
    EXPECT_EQ(pi::WorkersStarted(), 1);
    EXPECT_EQ(pi::PumpCount(), 0);
    EXPECT_EQ(pi::SemValue(), 0);
    EXPECT_EQ(test_host::ClockReads(), reads + 1);
    EXPECT_EQ(_lastAddMsec, kStart);

    VRN_EventPump_AddTask(nullptr);  // later null calls do nothing
    EXPECT_EQ(pi::WorkersStarted(), 1);
    EXPECT_EQ(pi::PumpCount(), 0);
    EXPECT_EQ(pi::SemValue(), 0);
    EXPECT_EQ(test_host::ClockReads(), reads + 1);

    auto counter = std::make_shared<Counter>();
    QueueFillers(counter, 1);
    EXPECT_TRUE(counter->WaitFor(1));
}

TEST(Pump, OnePersistentWorkerUnderRacingFirstCalls) {
    test_host::UseManualClock(kStart);  // the clock never moves, so no extra worker can be added
    constexpr int kThreads = 8;
    std::atomic<int> ready{0};
    auto mu = std::make_shared<std::mutex>();
    auto ranOn = std::make_shared<std::vector<std::thread::id>>();
    auto counter = std::make_shared<Counter>();
    std::vector<std::thread> callers;
    {
        // Holding the queue lock keeps the pump unstarted while the callers arrive, so most of
        // them find it unstarted at the first check and meet at the lock.
        std::lock_guard<std::mutex> hold(pi::PumpLock());
        for (int t = 0; t < kThreads; ++t) {
            callers.emplace_back([&] {
                ready.fetch_add(1);
                VRN_EventPump_AddTask(new FnTask([=] {
                    std::lock_guard<std::mutex> guard(*mu);
                    ranOn->push_back(std::this_thread::get_id());
                    counter->runs.fetch_add(1);
                }));
            });
        }
        EXPECT_TRUE(WaitUntil([&] { return ready.load() == kThreads; }));
    }
    for (auto& c : callers) c.join();
    EXPECT_EQ(pi::WorkersStarted(), 1);
    ASSERT_TRUE(counter->WaitFor(kThreads));
    std::lock_guard<std::mutex> guard(*mu);
    for (auto id : *ranOn) EXPECT_EQ(id, ranOn->front());
}

TEST(Pump, FifoPerProducerAndExactlyOnce) {
    test_host::UseManualClock(kStart);  // one worker only, so queue order is run order
    constexpr int kProducers = 4, kPerProducer = 5000;
    struct Record {
        std::mutex mu;
        std::vector<std::vector<int>> order{kProducers};
    };
    auto record = std::make_shared<Record>();
    auto deleted = std::make_shared<std::atomic<int>>(0);
    auto counter = std::make_shared<Counter>();
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p) {
        producers.emplace_back([=] {
            for (int i = 0; i < kPerProducer; ++i) {
                VRN_EventPump_AddTask(new FnTask(
                    [=] {
                        std::lock_guard<std::mutex> guard(record->mu);
                        record->order[p].push_back(i);
                        counter->runs.fetch_add(1);
                    },
                    deleted));
            }
        });
    }
    for (auto& t : producers) t.join();
    ASSERT_TRUE(counter->WaitFor(kProducers * kPerProducer));
    EXPECT_TRUE(WaitUntil([&] { return deleted->load() == kProducers * kPerProducer; }));
    std::lock_guard<std::mutex> guard(record->mu);
    for (int p = 0; p < kProducers; ++p) {
        ASSERT_EQ(record->order[p].size(), size_t(kPerProducer)) << "producer " << p;
        for (int i = 0; i < kPerProducer; ++i) ASSERT_EQ(record->order[p][i], i) << "producer " << p;
    }
    EXPECT_EQ(counter->runs.load(), kProducers * kPerProducer);
}

TEST(Pump, ExactlyOnceWhileThePoolGrows) {
    test_host::UseManualClock(kStart);
    constexpr int kProducers = 3, kPerProducer = 4000;
    auto runs = std::make_shared<std::vector<std::atomic<int>>>(kProducers * kPerProducer);
    auto deleted = std::make_shared<std::atomic<int>>(0);
    auto counter = std::make_shared<Counter>();
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p) {
        producers.emplace_back([=] {
            for (int i = 0; i < kPerProducer; ++i) {
                // Moving the clock lets the persistent worker add extra workers under backlog.
                if (i % 500 == 0) test_host::AdvanceClock(2000);
                int slot = p * kPerProducer + i;
                VRN_EventPump_AddTask(new FnTask(
                    [=] {
                        (*runs)[slot].fetch_add(1);
                        counter->runs.fetch_add(1);
                    },
                    deleted));
            }
        });
    }
    for (auto& t : producers) t.join();
    ASSERT_TRUE(counter->WaitFor(kProducers * kPerProducer));
    EXPECT_TRUE(WaitUntil([&] { return deleted->load() == kProducers * kPerProducer; }));
    for (int s = 0; s < kProducers * kPerProducer; ++s) ASSERT_EQ((*runs)[s].load(), 1) << "task " << s;
    EXPECT_LE(pi::ExtraWorkers(), pi::MaxExtraWorkers());
}

TEST(Pump, ThrowingTaskIsDeletedAndTheNextRuns) {
    auto hold = std::make_shared<Gate>();
    QueueGate(hold);
    ASSERT_TRUE(hold->WaitEntered());
    // Queued behind the gate, so all four run in one batch.
    auto deleted = std::make_shared<std::atomic<int>>(0);
    auto counter = std::make_shared<Counter>();
    VRN_EventPump_AddTask(new FnTask([] { throw std::runtime_error("task failed"); }, deleted));
    VRN_EventPump_AddTask(new FnTask([] { throw 7; }, deleted));
    VRN_EventPump_AddTask(new FnTask([counter] { counter->runs.fetch_add(1); }, deleted));
    test_host::ClearLines();
    hold->Release();
    ASSERT_TRUE(counter->WaitFor(1));
    EXPECT_TRUE(WaitUntil([&] { return deleted->load() == 3; }));
    EXPECT_TRUE(test_host::Lines().empty());  // the worker itself drops what a task throws
}

struct CallbackProbe {
    std::atomic<int> calls{0};
    int32_t fd = 0;
    int32_t code = 0;
    void* userData = nullptr;
};

CallbackProbe _probe;

void ThrowStd(int32_t fd, int32_t code, void* userData) {
    _probe.fd = fd;
    _probe.code = code;
    _probe.userData = userData;
    _probe.calls.fetch_add(1);
    throw std::runtime_error("socket 12 写入失败, errno 32");
}

void ThrowOther(int32_t, int32_t, void*) {
    _probe.calls.fetch_add(1);
    throw 42;
}

void Succeed(int32_t, int32_t, void*) {
    _probe.calls.fetch_add(1);
}

TEST(Pump, EpollTaskLogsStandardExceptionInTwoLines) {
    test_host::ClearLines();
    int marker = 0;
    VRN_EventPump_AddTask(new VrnEpoll_EventPump_Task(12, ThrowStd, -1, &marker));
    // Runs on the same worker once the first task has returned from logging.
    VRN_EventPump_AddTask(new VrnEpoll_EventPump_Task(12, Succeed, 1, nullptr));
    ASSERT_TRUE(WaitUntil([] { return _probe.calls.load() == 2; }));
    std::vector<std::string> expected = {"VrnEpoll_Event_Target.DoEvent() Error: \n",
                                         "socket 12 写入失败, errno 32\n"};
    EXPECT_EQ(test_host::Lines(), expected);
    EXPECT_EQ(_probe.fd, 12);
    EXPECT_EQ(_probe.code, -1);
    EXPECT_EQ(_probe.userData, &marker);
}

TEST(Pump, EpollTaskDropsOtherExceptionsSilently) {
    test_host::ClearLines();
    VrnEpoll_EventPump_Task direct(3, ThrowOther, 1, nullptr);
    EXPECT_NO_THROW(direct.DoEvent());
    VRN_EventPump_AddTask(new VrnEpoll_EventPump_Task(3, ThrowOther, 1, nullptr));
    VRN_EventPump_AddTask(new VrnEpoll_EventPump_Task(3, Succeed, 2, nullptr));
    ASSERT_TRUE(WaitUntil([] { return _probe.calls.load() == 3; }));
    EXPECT_TRUE(test_host::Lines().empty());
}

// A worker that is awake looks at the queue again before it sleeps, so a burst queued while it
// is busy posts nothing; a sleeping worker is woken by one post, however many tasks follow it,
// alone or gathered in one batch.
TEST(Pump, PostsOnlyForASleepingWorkerAndOncePerWakeUp) {
    auto hold = std::make_shared<Gate>();
    QueueGate(hold);
    ASSERT_TRUE(hold->WaitEntered());
    int64_t posts = pi::WakeUps();
    auto counter = std::make_shared<Counter>();
    QueueFillers(counter, 100);
    EXPECT_EQ(pi::WakeUps(), posts);
    EXPECT_EQ(pi::SemValue(), 0);
    EXPECT_EQ(pi::PumpCount(), 100);
    hold->Release();
    EXPECT_TRUE(counter->WaitFor(100));

    for (int n : {1, 50}) {
        ASSERT_TRUE(WaitUntil([] { return pi::SleepingWorkers() == 1; }, 10s));
        posts = pi::WakeUps();
        int runs = counter->runs.load();
        auto gate = std::make_shared<Gate>();
        {
            VrnEventPumpBatch batch;
            batch.Add(new FnTask([gate] { gate->Enter(); }));
            for (int i = 1; i < n; ++i) batch.Add(new FnTask([counter] { counter->runs.fetch_add(1); }));
        }
        ASSERT_TRUE(gate->WaitEntered());
        QueueFillers(counter, 10);  // the woken worker is busy: no second post
        gate->Release();
        EXPECT_TRUE(counter->WaitFor(runs + n - 1 + 10));
        EXPECT_EQ(pi::WakeUps(), posts + 1) << n << " tasks";
        EXPECT_LE(pi::SemValue(), 1);
    }
}

// A follow-up joins the tail of its worker's batch while the shared queue is empty, and goes
// behind what waits there otherwise: either way tasks run in the order queued. Queued from a
// thread that is no worker, it goes to the shared queue.
TEST(Pump, FollowUpsKeepTheQueueOrder) {
    test_host::UseManualClock(kStart);  // one worker, so run order is queue order
    struct Order {
        std::mutex mu;
        std::vector<std::string> names;
    };
    auto order = std::make_shared<Order>();
    auto note = [order](const char* name) {
        std::lock_guard<std::mutex> guard(order->mu);
        order->names.push_back(name);
    };
    auto log = [note](const char* name) { return new FnTask([note, name] { note(name); }); };
    auto hold = std::make_shared<Gate>();
    QueueGate(hold);
    ASSERT_TRUE(hold->WaitEntered());
    // Queued behind the gate: one batch of three.
    VRN_EventPump_AddTask(new FnTask([=] {
        note("a");
        VrnEventPump_AddFollowUp(log("a1"));
        VrnEventPump_AddFollowUp(log("a2"));
    }));
    VRN_EventPump_AddTask(new FnTask([=] {
        note("b");
        VRN_EventPump_AddTask(log("shared"));
    }));
    VrnEventPump_AddFollowUp(new FnTask([=] {
        note("c");
        VrnEventPump_AddFollowUp(log("c1"));
    }));
    hold->Release();
    ASSERT_TRUE(WaitUntil([&] {
        std::lock_guard<std::mutex> guard(order->mu);
        return order->names.size() >= 7;
    }));
    std::lock_guard<std::mutex> guard(order->mu);
    EXPECT_EQ(order->names, (std::vector<std::string>{"a", "b", "c", "a1", "a2", "shared", "c1"}));
}

// Each link of an endless chain is the last task of its batch and queues the next as its
// follow-up: the chain goes on in one batch, and once a task waits in the shared queue the next
// link goes behind it, so that task still runs.
TEST(Pump, AChainOfFollowUpsLeavesRoomForTheSharedQueue) {
    test_host::UseManualClock(kStart);
    struct Chain : Vrn_Event_Pump_TaskBase {
        std::shared_ptr<std::atomic<bool>> stop;
        std::shared_ptr<Counter> links;
        void DoEvent() override {
            if (stop->load()) return;
            links->runs.fetch_add(1);
            auto* next = new Chain;
            next->stop = stop;
            next->links = links;
            VrnEventPump_AddFollowUp(next);
        }
    };
    auto* first = new Chain;
    first->stop = std::make_shared<std::atomic<bool>>(false);
    first->links = std::make_shared<Counter>();
    auto stop = first->stop;
    auto links = first->links;
    VRN_EventPump_AddTask(first);
    ASSERT_TRUE(links->WaitFor(1000));
    auto counter = std::make_shared<Counter>();
    VRN_EventPump_AddTask(new FnTask([counter, stop] {
        stop->store(true);
        counter->runs.fetch_add(1);
    }));
    EXPECT_TRUE(counter->WaitFor(1));
    stop->store(true);
}

TEST(Pump, ExtraWorkerLimitFollowsHardwareConcurrency) {
    EXPECT_EQ(pi::ExtraWorkerLimit(0), 2);
    EXPECT_EQ(pi::ExtraWorkerLimit(1), 2);
    EXPECT_EQ(pi::ExtraWorkerLimit(2), 2);
    EXPECT_EQ(pi::ExtraWorkerLimit(3), 3);
    EXPECT_EQ(pi::ExtraWorkerLimit(8), 8);
    VRN_EventPump_AddTask(nullptr);
    EXPECT_EQ(pi::MaxExtraWorkers(), pi::ExtraWorkerLimit(std::thread::hardware_concurrency()));
}

TEST(Pump, InjectedFigureSetsTheLimitAtStart) {
    pi::OverrideHardwareConcurrency(8);
    VRN_EventPump_AddTask(nullptr);
    EXPECT_EQ(pi::MaxExtraWorkers(), 8);
}

// How a producer hands its tasks to the pump: a call each, or gathered into one batch, as the
// loop thread queues the deliveries of a batch of events. Either way they count towards the
// backlog that grows the pool (the queue length the growth test reads), or under load the pool
// would never grow.
enum class Producer { kOneByOne, kBatched };

class PumpGrowth : public ::testing::TestWithParam<Producer> {
  protected:
    void Queue(std::vector<Vrn_Event_Pump_TaskBase*> tasks) {
        if (GetParam() == Producer::kOneByOne) {
            for (auto* t : tasks) VRN_EventPump_AddTask(t);
            return;
        }
        VrnEventPumpBatch batch;
        for (auto* t : tasks) batch.Add(t);
    }
    static std::vector<Vrn_Event_Pump_TaskBase*> Fillers(const std::shared_ptr<Counter>& counter, int n) {
        std::vector<Vrn_Event_Pump_TaskBase*> tasks;
        for (int i = 0; i < n; ++i) tasks.push_back(new FnTask([counter] { counter->runs.fetch_add(1); }));
        return tasks;
    }
};

TEST_P(PumpGrowth, GrowsAt33QueuedButNotAt32) {
    test_host::UseManualClock(kStart);
    pi::OverrideHardwareConcurrency(8);
    GatedBatch batch(3);
    test_host::SetClock(kStart + 5000);
    auto counter = std::make_shared<Counter>();
    // The backlog's first task holds the new worker, whose idle wait would read the clock too.
    auto extra = std::make_shared<Gate>();
    std::vector<Vrn_Event_Pump_TaskBase*> backlog = Fillers(counter, 31);
    backlog.insert(backlog.begin(), new FnTask([extra] { extra->Enter(); }));
    Queue(backlog);
    EXPECT_EQ(pi::PumpCount(), 32);
    uint64_t reads = test_host::ClockReads();
    ASSERT_TRUE(batch.Step(0));
    EXPECT_EQ(pi::ExtraWorkers(), 0);
    EXPECT_EQ(pi::WorkersStarted(), 1);
    EXPECT_EQ(test_host::ClockReads(), reads);  // a backlog of 32 does not even read the clock

    Queue(Fillers(counter, 1));
    ASSERT_TRUE(batch.Step(1));
    EXPECT_EQ(pi::ExtraWorkers(), 1);
    EXPECT_EQ(pi::WorkersStarted(), 2);
    ASSERT_TRUE(extra->WaitEntered());  // the new worker takes the backlog
    EXPECT_EQ(test_host::ClockReads(), reads + 1);
    EXPECT_EQ(_lastAddMsec, kStart + 5000);
    extra->Release();
    EXPECT_TRUE(counter->WaitFor(32));
}

INSTANTIATE_TEST_SUITE_P(Producers, PumpGrowth, ::testing::Values(Producer::kOneByOne, Producer::kBatched),
                         [](const ::testing::TestParamInfo<Producer>& info) {
                             return info.param == Producer::kOneByOne ? "OneByOne" : "Batched";
                         });

TEST(Pump, GrowthWindowNeedsMoreThan1500msAndAddsOneWorker) {
    test_host::UseManualClock(kStart);
    pi::OverrideHardwareConcurrency(8);
    GatedBatch batch(6);
    auto counter = std::make_shared<Counter>();
    auto firstExtra = std::make_shared<Gate>();
    QueueGate(firstExtra);
    QueueFillers(counter, 32);

    test_host::SetClock(kStart + 1500);  // exactly 1500 ms after the start: not yet
    ASSERT_TRUE(batch.Step(0));
    EXPECT_EQ(pi::ExtraWorkers(), 0);

    test_host::SetClock(kStart + 1501);
    ASSERT_TRUE(batch.Step(1));
    EXPECT_EQ(pi::ExtraWorkers(), 1);
    EXPECT_EQ(_lastAddMsec, kStart + 1501);
    ASSERT_TRUE(firstExtra->WaitEntered());  // the extra worker took the backlog and is held
    EXPECT_NE(firstExtra->Thread(), batch.Thread());

    QueueFillers(counter, 33);  // a new backlog in the same window
    ASSERT_TRUE(batch.Step(2));
    EXPECT_EQ(pi::ExtraWorkers(), 1);
    test_host::AdvanceClock(1500);  // exactly 1500 ms after the last addition
    ASSERT_TRUE(batch.Step(3));
    EXPECT_EQ(pi::ExtraWorkers(), 1);
    test_host::AdvanceClock(1);
    ASSERT_TRUE(batch.Step(4));
    EXPECT_EQ(pi::ExtraWorkers(), 2);
    EXPECT_EQ(pi::WorkersStarted(), 3);
    EXPECT_EQ(_lastAddMsec, kStart + 3002);

    firstExtra->Release();
    EXPECT_TRUE(counter->WaitFor(65));
}

TEST(Pump, GrowthStopsAtTheLimitWithoutReadingTheClock) {
    test_host::UseManualClock(kStart);
    pi::OverrideHardwareConcurrency(1);  // limit 2
    GatedBatch batch(4);
    auto counter = std::make_shared<Counter>();
    std::vector<std::shared_ptr<Gate>> extras;
    for (int i = 0; i < 2; ++i) {
        extras.push_back(std::make_shared<Gate>());
        QueueGate(extras.back());
        QueueFillers(counter, 32);
        test_host::AdvanceClock(1501);
        ASSERT_TRUE(batch.Step(i));
        ASSERT_TRUE(extras.back()->WaitEntered());
        EXPECT_EQ(pi::ExtraWorkers(), i + 1);
    }
    QueueFillers(counter, 33);
    test_host::AdvanceClock(1501);
    uint64_t reads = test_host::ClockReads();
    ASSERT_TRUE(batch.Step(2));
    EXPECT_EQ(pi::ExtraWorkers(), 2);
    EXPECT_EQ(pi::WorkersStarted(), 3);
    EXPECT_EQ(test_host::ClockReads(), reads);
    for (auto& g : extras) g->Release();
    EXPECT_TRUE(counter->WaitFor(97));
}

// Adds one extra worker and returns the gate it is held in.
std::shared_ptr<Gate> GrowOneExtra(GatedBatch& batch, const std::shared_ptr<Counter>& counter) {
    auto extra = std::make_shared<Gate>();
    QueueGate(extra);
    QueueFillers(counter, 32);
    test_host::AdvanceClock(1501);
    EXPECT_TRUE(batch.Step(0));
    EXPECT_TRUE(extra->WaitEntered());
    EXPECT_EQ(pi::ExtraWorkers(), 1);
    return extra;
}

TEST(Pump, ExtraWorkerRetiresAfterIdleWait) {
    test_host::UseManualClock(kStart);
    test_host::SetSemScale(100);  // 5000 ms idle wait becomes 50 ms
    GatedBatch batch(2);
    auto counter = std::make_shared<Counter>();
    auto extra = GrowOneExtra(batch, counter);
    extra->Release();
    ASSERT_TRUE(counter->WaitFor(32));
    EXPECT_TRUE(WaitUntil([] { return pi::ExtraWorkers() == 0; }, 10s));

    batch.ReleaseAll();  // the persistent worker stays and keeps serving
    QueueFillers(counter, 1);
    EXPECT_TRUE(counter->WaitFor(33));
    EXPECT_EQ(pi::WorkersStarted(), 2);
}

void NoOpHandler(int) {}

TEST(Pump, InterruptedIdleWaitStartsAgain) {
    struct sigaction sa = {};
    sa.sa_handler = NoOpHandler;  // no SA_RESTART: the wait returns EINTR
    ASSERT_EQ(sigaction(SIGUSR1, &sa, nullptr), 0);
    test_host::UseManualClock(kStart);
    test_host::SetSemScale(5);  // 1000 ms idle wait
    GatedBatch batch(2);
    auto counter = std::make_shared<Counter>();
    auto extra = GrowOneExtra(batch, counter);
    pid_t tid = extra->Tid();
    extra->Release();
    ASSERT_TRUE(counter->WaitFor(32));

    // Interrupt the idle wait far more often than it lasts, for longer than it lasts: a worker
    // that took the interruption for the end of its wait would retire here.
    auto end = std::chrono::steady_clock::now() + 1500ms;
    while (std::chrono::steady_clock::now() < end) {
        ASSERT_EQ(pi::ExtraWorkers(), 1);
        syscall(SYS_tgkill, getpid(), tid, SIGUSR1);
        std::this_thread::sleep_for(20ms);
    }
    EXPECT_TRUE(WaitUntil([] { return pi::ExtraWorkers() == 0; }, 10s));
}

// Signals that interrupt every idle wait must not keep an extra worker past its idle time.
TEST(Pump, InterruptedIdleWorkerStillRetiresOnTime) {
    test_host::UseManualClock(kStart);
    test_host::SetSemScale(5);  // each idle wait 1000 ms of real time, far longer than the storm's pace
    GatedBatch batch(2);
    auto counter = std::make_shared<Counter>();
    auto extra = GrowOneExtra(batch, counter);
    uint64_t reads = test_host::ClockReads();
    extra->Release();
    ASSERT_TRUE(counter->WaitFor(32));
    ASSERT_TRUE(WaitUntil([&] { return test_host::ClockReads() > reads; }));  // its idle wait began
    SignalStorm storm;
    ASSERT_TRUE(WaitUntil([&] { return storm.Sent() > 10; }));
    test_host::AdvanceClock(5000);
    EXPECT_TRUE(WaitUntil([] { return pi::ExtraWorkers() == 0; }));
}

}  // namespace
