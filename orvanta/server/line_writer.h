// Writes whole lines to a descriptor from a thread of its own, so that no caller ever waits
// for the destination: a pipe nobody reads, a stopped terminal, a slow disk.
//
// Append copies the line into a bounded buffer and returns at once. While the buffer has room
// no line is lost; when it is full the line is dropped and counted, and once the destination
// takes lines again the writer thread hands the count to the drop report. The memory held is
// at most twice the bound: a full buffer, and the batch the writer thread is writing. Lines go out whole
// and in the order they were given; a short write is continued to its end whatever cut it
// short (a signal, a full pipe, a non-blocking descriptor).
//
// Threads: any thread may call Append, WriteOrAppend and Flush. One writer thread, started by
// the constructor with every signal blocked, does the queued writing. mutex_ guards the buffer
// and the writer's state; the writer thread never holds it while it writes.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

class LineWriter {
  public:
    // Called on the writer thread, with no lock held, with the lines dropped since the last call.
    using DropReport = void (*)(uint64_t dropped);

    // Throws std::system_error when the thread cannot be started.
    LineWriter(int fd, size_t capacity, DropReport report);
    // Writes what is queued, then stops the thread; a destination that never takes the rest
    // blocks it, so a process that may meet one keeps its writers for good.
    ~LineWriter();
    LineWriter(const LineWriter&) = delete;
    LineWriter& operator=(const LineWriter&) = delete;

    // Queues the line for the writer thread; false when the buffer is full and it was dropped.
    bool Append(std::string_view line);
    // Queues the line whatever the bound: for a writer's rare notices, such as a drop report,
    // which must not be lost to the very fullness they report.
    void AppendNotice(std::string_view line);
    // Writes the line at once when nothing is queued or being written and the descriptor takes
    // it without waiting (a line of at most PIPE_BUF bytes); queues it as Append does otherwise.
    // For a log whose lines should be out before the caller goes on whenever they can be.
    bool WriteOrAppend(std::string_view line);
    // Waits up to timeoutMsec until every line given so far is written (or failed); false when
    // the time ran out first.
    bool Flush(int timeoutMsec);
    // Lines dropped in all: the buffer was full, or the descriptor failed.
    uint64_t dropped() const;

  private:
    bool AppendLocked(std::string_view line);
    void Run();
    std::string_view WriteAll(std::string_view data);

    const int fd_;
    const size_t capacity_;
    const DropReport report_;
    mutable std::mutex mutex_;      // guards everything below but thread_
    std::condition_variable wake_;  // lines queued, or stopping
    std::condition_variable idle_;  // the queue emptied and nothing is being written
    std::string pending_;           // queued lines, at most capacity_ bytes
    bool writing_ = false;          // the writer thread is writing lines it took from pending_
    bool stopping_ = false;
    uint64_t dropped_ = 0;
    uint64_t reported_ = 0;  // the part of dropped_ already handed to report_
    std::thread thread_;
};
