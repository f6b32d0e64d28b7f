// The drain's decisions, which follow from each connection's state alone.
#include "orvanta/server/connection_drain.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

std::vector<int> g_woken;
std::vector<int> g_cut;

TEST(DrainListTest, EndsOnlyIdleConnectionsAndCutsOnlySending) {
    using S = ConnectionState;
    struct Case {
        S state;
        bool ended;  // by EndIdle: marked kClosing and woken
        bool cut;    // by CutSending at the bound
    } cases[] = {
        {S::kWaitingFirst, false, false},                               // its first request may be on its way
        {S::kIdle, true, false},          {S::kReading, false, false},  // a half-received request
        {S::kSending, false, true},       {S::kLingering, false, false},
    };
    std::vector<DrainEntry> entries(std::size(cases));
    DrainList list;
    for (size_t i = 0; i < entries.size(); ++i) {
        entries[i].fd = int(i);
        entries[i].state = cases[i].state;
        list.Add(&entries[i]);
    }
    EXPECT_EQ(list.EndIdle([](int32_t fd) { g_woken.push_back(fd); }), 1);
    // A second pass ends nothing new, but wakes again the one not yet taken back by its owner.
    EXPECT_EQ(list.EndIdle([](int32_t fd) { g_woken.push_back(fd); }), 0);
    EXPECT_EQ(list.CutSending([](DrainEntry* e) { g_cut.push_back(e->fd); }), 1);
    for (size_t i = 0; i < entries.size(); ++i) {
        const Case& c = cases[i];
        int fd = int(i);
        EXPECT_EQ(std::count(g_woken.begin(), g_woken.end(), fd), c.ended ? 2 : 0) << fd;
        EXPECT_EQ(std::count(g_cut.begin(), g_cut.end(), fd), c.cut ? 1 : 0) << fd;
        EXPECT_EQ(entries[i].state, c.ended || c.cut ? S::kClosing : c.state) << fd;
        list.Remove(&entries[i]);
    }
}

}  // namespace
