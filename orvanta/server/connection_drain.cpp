#include "orvanta/server/connection_drain.h"

#include <sys/socket.h>

void DrainList::Add(DrainEntry* e) {
    std::lock_guard<std::mutex> guard(mutex_);
    e->prev = nullptr;
    e->next = head_;
    if (head_) head_->prev = e;
    head_ = e;
}

void DrainList::Remove(DrainEntry* e) {
    std::lock_guard<std::mutex> guard(mutex_);
    if (e->prev)
        e->prev->next = e->next;
    else
        head_ = e->next;
    if (e->next) e->next->prev = e->prev;
    e->prev = e->next = nullptr;
}

int DrainList::ShutdownIdle() {
    std::lock_guard<std::mutex> guard(mutex_);
    int n = 0;
    for (DrainEntry* e = head_; e; e = e->next) {
        // A request that raced in is still read first: the kernel hands out queued bytes
        // before it reports the end of input, and the answer then closes the connection.
        if (e->state.load() == ConnectionState::kIdle && shutdown(e->fd, SHUT_RD) == 0) ++n;
    }
    return n;
}
