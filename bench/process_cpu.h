// The process's CPU time (all its threads, user and system), so that a benchmark can report CPU
// per item beside its rate: the rate of a hand-off between threads on a shared machine follows
// the load, while the CPU it spends per item moves much less.
#pragma once

#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <cstdint>

inline double ProcessCpuMicros() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    auto micros = [](const timeval& t) { return double(t.tv_sec) * 1e6 + double(t.tv_usec); };
    return micros(u.ru_utime) + micros(u.ru_stime);
}

// Measures the process's CPU time from construction to Report, as "cpu_us/item": items are
// all the threads' items together, and the threads' figures are averaged.
class ProcessCpu {
  public:
    ProcessCpu() : start_(ProcessCpuMicros()) {}
    void Report(benchmark::State& state, int64_t items) const {
        if (items <= 0) return;
        state.counters["cpu_us/item"] = benchmark::Counter((ProcessCpuMicros() - start_) / double(items),
                                                           benchmark::Counter::kAvgThreads);
    }

  private:
    double start_;
};
