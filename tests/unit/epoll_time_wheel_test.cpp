#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "epoll/vrn_epoll_time_wheel.h"
#include "tests/host_double/test_host.h"

namespace {

constexpr const char* kIndexMsg =
    "** VrnEpoll TimeWheel UnregTimeWhell中，移动对象的轮序错，index=-1, scoke=%d\n";

class TimeWheel : public ::testing::Test {
  protected:
    void SetUp() override {
        test_host::UseManualClock(100000);
        test_host::ClearLines();
    }

    sckInfo* Record(int32_t fd) {
        auto s = std::make_unique<sckInfo>(
            sckInfo{fd, &mutex_, -1, nullptr, nullptr, nullptr, false, -1, nullptr, nullptr, nullptr, false});
        records_.push_back(std::move(s));
        return records_.back().get();
    }

    // Starts the wheel and ticks it until curIndex is c, freeing whatever the ticks hand out.
    void TurnTo(VrnEpoll_TimeWheel& w, int32_t c) {
        w.MoveTimeWheel();
        while (w.CurIndex() != c) {
            test_host::AdvanceClock(980);
            FreeChain(w.MoveTimeWheel());
        }
    }

    static void FreeChain(WheelNode* n) {
        while (n != nullptr) {
            WheelNode* next = n->next;
            delete n;
            n = next;
        }
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
    FreeChain(chain);
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
    FreeChain(chain);
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
    FreeChain(chain);
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
    EXPECT_EQ(s->writeWheelIndex, -1);
    EXPECT_EQ(s->writeWheel, nullptr);
    EXPECT_TRUE(s->writeTimedOut);
    s->readTimedOut = true;
    writer.RegTimeWheel(s, 4);
    EXPECT_EQ(s->writeWheelIndex, 4);
    EXPECT_EQ(s->writeWheel, &writer);
    EXPECT_FALSE(s->writeTimedOut);
    EXPECT_EQ(s->readWheelIndex, 3);
    EXPECT_TRUE(s->readTimedOut);
    writer.UnregTimeWheel(s);
    EXPECT_EQ(s->readWheel, &reader);
    reader.UnregTimeWheel(s);
}

}  // namespace
