#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "epoll/vrn_epoll_time_wheel.h"
#include "tests/host_double/test_host.h"

namespace {

constexpr const char* kIndexMsg =
    "** VrnEpoll TimeWheel UnregTimeWhell中，移动对象的轮序错，index=-1, scoke=%d\n";

std::string NotFound(int32_t slot, int32_t fd) {
    return "** VrnEpoll TimeWheel UnregTimeWhell中，没有找到被移对象，轮序=" + std::to_string(slot) +
           ", scoke=" + std::to_string(fd) + "\n";
}

class TimeWheel : public ::testing::Test {
  protected:
    void SetUp() override {
        test_host::UseManualClock(100000);
        test_host::ClearLines();
    }

    sckInfo* Record(int32_t fd) {
        auto s =
            std::make_unique<sckInfo>(sckInfo{fd, &mutex_, -1, nullptr, nullptr, nullptr, false, -1, nullptr,
                                              nullptr, nullptr, false, nullptr, nullptr, 0, false, 0, 0});
        records_.push_back(std::move(s));
        return records_.back().get();
    }

    // Starts the wheel and ticks it until curIndex is c, freeing whatever the ticks hand out.
    void TurnTo(VrnEpoll_TimeWheel& w, int32_t c) {
        w.MoveTimeWheel();
        while (w.CurIndex() != c) {
            test_host::AdvanceClock(980);
            Receive(w, w.MoveTimeWheel());
        }
    }

    // Does what the loop thread does with a handed-out chain: frees each node under its record's
    // lock. For each node, whether its half still named it.
    std::vector<bool> Receive(VrnEpoll_TimeWheel& w, WheelNode* n) {
        std::vector<bool> held;
        while (n != nullptr) {
            WheelNode* next = n->next;
            std::lock_guard<std::mutex> guard(mutex_);
            held.push_back(w.ReleaseNode(n));
            n = next;
        }
        return held;
    }

    // Slot i's chain from head to tail is exactly `expected`, linked both ways, and each record's
    // half names its own node.
    static void ExpectChain(VrnEpoll_TimeWheel& w, int32_t i, const std::vector<sckInfo*>& expected) {
        WheelNode* prev = nullptr;
        WheelNode* n = w.SlotHead(i);
        for (sckInfo* s : expected) {
            ASSERT_NE(n, nullptr) << "chain ends early";
            ASSERT_EQ(n->sockinfo, s);
            ASSERT_EQ(n->prev, prev);
            ASSERT_EQ(HalfOf(s, w.IsWriter()).node, n);
            prev = n;
            n = n->next;
        }
        ASSERT_EQ(n, nullptr) << "chain runs on";
    }

    std::mutex mutex_;
    std::vector<std::unique_ptr<sckInfo>> records_;
};

TEST_F(TimeWheel, ClampsTimeoutsIntoSlotsAheadOfTheCurrent) {
    VrnEpoll_TimeWheel w(false);
    TurnTo(w, 10);
    const std::pair<int32_t, int32_t> cases[] = {{-5, 11},         {0, 10},          {1, 11},
                                                 {235, 245 % 240}, {236, 245 % 240}, {1000, 245 % 240}};
    int32_t fd = 1;
    for (auto [timeout, slot] : cases) {
        sckInfo* s = Record(fd++);
        w.RegTimeWheel(s, timeout);
        EXPECT_EQ(s->readWheelIndex, slot) << "time-out " << timeout;
        EXPECT_EQ(s->readWheel, &w);
        EXPECT_EQ(w.SlotHead(slot)->sockinfo, s) << "time-out " << timeout;
    }
}

TEST_F(TimeWheel, WrapsFromTheLastSlot) {
    VrnEpoll_TimeWheel w(true);
    TurnTo(w, 239);
    sckInfo* s = Record(3);
    w.RegTimeWheel(s, 1);
    EXPECT_EQ(s->writeWheelIndex, 0);
    test_host::AdvanceClock(980);
    EXPECT_EQ(w.MoveTimeWheel(), nullptr);  // slot 239 was empty
    EXPECT_EQ(w.CurIndex(), 0);
    test_host::AdvanceClock(980);
    WheelNode* chain = w.MoveTimeWheel();
    ASSERT_NE(chain, nullptr);
    EXPECT_EQ(chain->sockinfo, s);
    EXPECT_EQ(w.CurIndex(), 1);
    Receive(w, chain);
}

TEST_F(TimeWheel, TicksOnlyAfterMoreThan979Msec) {
    VrnEpoll_TimeWheel w(false);
    sckInfo* s = Record(4);
    w.RegTimeWheel(s, 0);                   // slot 0, handed out by the first tick
    EXPECT_EQ(w.MoveTimeWheel(), nullptr);  // only starts the wheel
    EXPECT_EQ(w.CurIndex(), 0);
    test_host::AdvanceClock(979);
    EXPECT_EQ(w.MoveTimeWheel(), nullptr);
    EXPECT_EQ(w.CurIndex(), 0);
    test_host::AdvanceClock(1);
    int32_t emptied = -7;
    WheelNode* chain = w.MoveTimeWheel(&emptied);
    ASSERT_NE(chain, nullptr);
    EXPECT_EQ(emptied, 0);
    EXPECT_EQ(w.CurIndex(), 1);
    // The next tick is timed from the reading that caused this one.
    test_host::AdvanceClock(979);
    EXPECT_EQ(w.MoveTimeWheel(&emptied), nullptr);
    EXPECT_EQ(emptied, -1);
    EXPECT_EQ(w.CurIndex(), 1);
    Receive(w, chain);
}

TEST_F(TimeWheel, LongPauseGivesOneTick) {
    VrnEpoll_TimeWheel w(false);
    w.MoveTimeWheel();
    test_host::AdvanceClock(10000);
    w.MoveTimeWheel();
    EXPECT_EQ(w.CurIndex(), 1);
    w.MoveTimeWheel();
    EXPECT_EQ(w.CurIndex(), 1);
}

TEST_F(TimeWheel, TickHandsOutTheSlotNewestFirstAndChangesNoRecord) {
    VrnEpoll_TimeWheel w(false);
    w.MoveTimeWheel();
    sckInfo* a = Record(5);
    sckInfo* b = Record(6);
    w.RegTimeWheel(a, 0);
    w.RegTimeWheel(b, 0);
    test_host::AdvanceClock(980);
    WheelNode* chain = w.MoveTimeWheel();
    ASSERT_NE(chain, nullptr);
    EXPECT_EQ(chain->sockinfo, b);
    ASSERT_NE(chain->next, nullptr);
    EXPECT_EQ(chain->next->sockinfo, a);
    EXPECT_EQ(chain->next->next, nullptr);
    EXPECT_EQ(w.SlotHead(0), nullptr);
    EXPECT_EQ(a->readWheelIndex, 0);
    EXPECT_EQ(a->readWheel, &w);
    EXPECT_FALSE(a->readTimedOut);
    // A half unregistered after its slot was handed out is not found, but still cleared.
    w.UnregTimeWheel(a);
    EXPECT_EQ(
        test_host::CountLines("** VrnEpoll TimeWheel UnregTimeWhell中，没有找到被移对象，轮序=0, scoke=5\n"),
        1u);
    EXPECT_EQ(a->readWheelIndex, -1);
    EXPECT_EQ(a->readWheel, nullptr);
    Receive(w, chain);
}

TEST_F(TimeWheel, UnregisterKeepsTheChainLinkedBothWays) {
    VrnEpoll_TimeWheel w(false);
    sckInfo* a = Record(10);
    sckInfo* b = Record(11);
    sckInfo* c = Record(12);
    for (sckInfo* s : {a, b, c}) w.RegTimeWheel(s, 5);
    w.UnregTimeWheel(b);  // middle: chain is c, a
    WheelNode* head = w.SlotHead(5);
    ASSERT_EQ(head->sockinfo, c);
    ASSERT_EQ(head->next->sockinfo, a);
    EXPECT_EQ(head->next->prev, head);
    EXPECT_EQ(head->next->next, nullptr);
    w.UnregTimeWheel(c);  // head: a alone
    head = w.SlotHead(5);
    EXPECT_EQ(head->sockinfo, a);
    EXPECT_EQ(head->prev, nullptr);
    EXPECT_EQ(head->next, nullptr);
    w.UnregTimeWheel(a);
    EXPECT_EQ(w.SlotHead(5), nullptr);
    EXPECT_TRUE(test_host::Lines().empty());
}

TEST_F(TimeWheel, UnregisterOfAnIdleHalfLogsTheIndex) {
    VrnEpoll_TimeWheel w(false);
    sckInfo* s = Record(13);
    w.UnregTimeWheel(s);
    char expected[256];
    snprintf(expected, sizeof expected, kIndexMsg, 13);
    EXPECT_EQ(test_host::CountLines(expected), 1u);
    EXPECT_EQ(s->readWheelIndex, -1);
}

TEST_F(TimeWheel, EachWheelTouchesOnlyItsOwnHalf) {
    VrnEpoll_TimeWheel reader(false);
    VrnEpoll_TimeWheel writer(true);
    EXPECT_FALSE(reader.IsWriter());
    EXPECT_TRUE(writer.IsWriter());
    sckInfo* s = Record(14);
    s->writeTimedOut = true;
    reader.RegTimeWheel(s, 3);
    EXPECT_EQ(s->readWheelIndex, 3);
    EXPECT_EQ(s->readWheel, &reader);
    EXPECT_EQ(s->readNode, reader.SlotHead(3));
    EXPECT_EQ(s->writeWheelIndex, -1);
    EXPECT_EQ(s->writeWheel, nullptr);
    EXPECT_EQ(s->writeNode, nullptr);
    EXPECT_TRUE(s->writeTimedOut);
    s->readTimedOut = true;
    writer.RegTimeWheel(s, 4);
    EXPECT_EQ(s->writeWheelIndex, 4);
    EXPECT_EQ(s->writeWheel, &writer);
    EXPECT_EQ(s->writeNode, writer.SlotHead(4));
    EXPECT_FALSE(s->writeTimedOut);
    EXPECT_EQ(s->readWheelIndex, 3);
    EXPECT_TRUE(s->readTimedOut);
    writer.UnregTimeWheel(s);
    EXPECT_EQ(s->writeNode, nullptr);
    EXPECT_EQ(s->readWheel, &reader);
    EXPECT_NE(s->readNode, nullptr);
    reader.UnregTimeWheel(s);
    EXPECT_EQ(s->readNode, nullptr);
    EXPECT_EQ(reader.SlotHead(3), nullptr);
}

// A tick hands the chain to the receiver while the records still name their nodes: unregistering
// one of them then finds nothing, touches none of the receiver's links and frees nothing.
TEST_F(TimeWheel, UnregisterAfterATickLeavesTheNodeToTheReceiver) {
    VrnEpoll_TimeWheel w(false);
    w.MoveTimeWheel();
    sckInfo* a = Record(20);
    sckInfo* b = Record(21);
    sckInfo* c = Record(22);
    for (sckInfo* s : {a, b, c}) w.RegTimeWheel(s, 0);
    WheelNode* bNode = b->readNode;
    test_host::AdvanceClock(980);
    WheelNode* chain = w.MoveTimeWheel();
    ASSERT_NE(chain, nullptr);
    w.UnregTimeWheel(b);
    EXPECT_EQ(test_host::CountLines(NotFound(0, 21)), 1u);
    EXPECT_EQ(b->readWheelIndex, -1);
    EXPECT_EQ(b->readWheel, nullptr);
    EXPECT_EQ(b->readNode, nullptr);
    // The detached chain is as the tick left it: c, b, a, linked both ways.
    ASSERT_EQ(chain->sockinfo, c);
    ASSERT_EQ(chain->next, bNode);
    EXPECT_EQ(bNode->sockinfo, b);
    EXPECT_EQ(bNode->prev, chain);
    ASSERT_NE(bNode->next, nullptr);
    EXPECT_EQ(bNode->next->sockinfo, a);
    EXPECT_EQ(bNode->next->prev, bNode);
    // The receiver frees all three; only a and c still named theirs, and they stop naming them.
    EXPECT_EQ(Receive(w, chain), (std::vector<bool>{true, false, true}));
    EXPECT_EQ(a->readNode, nullptr);
    EXPECT_EQ(c->readNode, nullptr);
    // a was never marked (that is the receiver's business under the record's lock), so it still
    // names slot 0 but no node: not found, and nothing freed twice.
    w.UnregTimeWheel(a);
    EXPECT_EQ(test_host::CountLines(NotFound(0, 20)), 1u);
    EXPECT_EQ(a->readWheelIndex, -1);
}

// After a tick the slot fills again, while a handed-out node's record still names the slot; the
// stale half must not unlink anything of the new chain, and the new nodes unlink from any place.
TEST_F(TimeWheel, HandedOutNodeIsToldFromTheSlotsNewChain) {
    VrnEpoll_TimeWheel w(false);
    w.MoveTimeWheel();
    sckInfo* a = Record(30);
    w.RegTimeWheel(a, 5);
    WheelNode* chain = nullptr;
    while (chain == nullptr && w.CurIndex() < 6) {
        test_host::AdvanceClock(980);
        chain = w.MoveTimeWheel();
    }
    ASSERT_NE(chain, nullptr);
    TurnTo(w, 10);
    sckInfo* b = Record(31);
    sckInfo* c = Record(32);
    sckInfo* d = Record(33);
    for (sckInfo* s : {b, c, d}) w.RegTimeWheel(s, 235);  // slot 5 again
    ASSERT_EQ(a->readWheelIndex, 5);
    w.UnregTimeWheel(a);
    EXPECT_EQ(test_host::CountLines(NotFound(5, 30)), 1u);
    ExpectChain(w, 5, {d, c, b});
    EXPECT_EQ(chain->sockinfo, a);
    EXPECT_EQ(chain->next, nullptr);
    EXPECT_EQ(chain->prev, nullptr);

    // Registered again before the receiver came round, into the same slot: the receiver frees the
    // old node and leaves the new one named.
    w.RegTimeWheel(a, 235);
    ExpectChain(w, 5, {a, d, c, b});
    EXPECT_EQ(Receive(w, chain), std::vector<bool>{false});
    ExpectChain(w, 5, {a, d, c, b});
    w.UnregTimeWheel(d);  // middle
    ExpectChain(w, 5, {a, c, b});
    w.UnregTimeWheel(b);  // tail
    ExpectChain(w, 5, {a, c});
    w.UnregTimeWheel(a);  // head
    ExpectChain(w, 5, {c});
    w.UnregTimeWheel(c);
    ExpectChain(w, 5, {});
    EXPECT_EQ(test_host::Lines().size(), 1u);  // the one not-found above
}

TEST_F(TimeWheel, ManyHalvesInOneSlotUnregisterInAnyOrder) {
    VrnEpoll_TimeWheel w(true);
    constexpr int kHalves = 1500;
    std::vector<sckInfo*> live;  // newest first, as the chain holds them
    for (int i = 0; i < kHalves; ++i) {
        sckInfo* s = Record(100 + i);
        w.RegTimeWheel(s, 7);
        live.insert(live.begin(), s);
    }
    ExpectChain(w, 7, live);
    std::vector<sckInfo*> order = live;
    std::shuffle(order.begin(), order.end(), std::mt19937(20261207));
    for (size_t i = 0; i < order.size(); ++i) {
        sckInfo* s = order[i];
        w.UnregTimeWheel(s);
        EXPECT_EQ(s->writeNode, nullptr);
        EXPECT_EQ(s->writeWheelIndex, -1);
        live.erase(std::find(live.begin(), live.end(), s));
        if (i % 7 == 0 || live.size() < 20) {
            ASSERT_NO_FATAL_FAILURE(ExpectChain(w, 7, live)) << "after " << i;
        }
    }
    EXPECT_EQ(w.SlotHead(7), nullptr);
    EXPECT_TRUE(test_host::Lines().empty());
}

// A half that names a slot but no node (its node was never made) is not found; the node left in
// the slot is the wheel's, and a destroyed wheel frees what its slots still hold and leaves no
// record naming a freed node.
TEST_F(TimeWheel, HalfWithoutANodeIsNotFoundAndTheWheelFreesWhatItHolds) {
    auto w = std::make_unique<VrnEpoll_TimeWheel>(false);
    sckInfo* orphaned = Record(40);
    sckInfo* kept = Record(41);
    w->RegTimeWheel(orphaned, 3);
    w->RegTimeWheel(kept, 3);
    WheelNode* node = orphaned->readNode;
    orphaned->readNode = nullptr;
    w->UnregTimeWheel(orphaned);
    EXPECT_EQ(test_host::CountLines(NotFound(3, 40)), 1u);
    EXPECT_EQ(orphaned->readWheelIndex, -1);
    EXPECT_EQ(orphaned->readWheel, nullptr);
    ASSERT_NE(w->SlotHead(3), nullptr);
    EXPECT_EQ(w->SlotHead(3)->next, node);
    w.reset();
    EXPECT_EQ(kept->readNode, nullptr);
}

}  // namespace
