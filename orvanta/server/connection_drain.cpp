#include "orvanta/server/connection_drain.h"

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

// Sequentially consistent, as the owner's move to kIdle and the stopping flag are: either the
// drain ends an idle connection here, or its owner sees the server stopping and ends it.
int DrainList::EndIdle(Wake wake) {
    std::lock_guard<std::mutex> guard(mutex_);
    int n = 0;
    for (DrainEntry* e = head_; e; e = e->next) {
        ConnectionState idle = ConnectionState::kIdle;
        bool ended = e->state.compare_exchange_strong(idle, ConnectionState::kClosing);
        if (ended || idle == ConnectionState::kClosing) wake(e->fd);
        n += ended;
    }
    return n;
}

int DrainList::CutSending(ReportCut report) {
    std::lock_guard<std::mutex> guard(mutex_);
    int n = 0;
    for (DrainEntry* e = head_; e; e = e->next) {
        ConnectionState sending = ConnectionState::kSending;
        if (!e->state.compare_exchange_strong(sending, ConnectionState::kClosing)) continue;
        report(e);
        ++n;
    }
    return n;
}

void DrainList::Reclaim(DrainEntry* e, ConnectionState state) {
    std::lock_guard<std::mutex> guard(mutex_);
    e->state.store(state);
}
