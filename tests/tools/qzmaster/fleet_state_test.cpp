// The fleet service's memory: interest notes stay bounded whatever GUIDs a server asks about,
// and the changes are kept in their order for the hello pages.
#include "qzmaster/fleet_state.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

TEST(FleetState, InterestNotesStayBoundedAndOldOnesArePruned) {
    qzm::FleetState state;
    char guid[16];
    size_t kept = 0;
    for (size_t i = 0; i < qzm::FleetState::kInterestMax + 1000; ++i) {
        snprintf(guid, sizeof guid, "G%zu", i);
        kept += state.noteInterest(guid, "alpha", 1000);
    }
    EXPECT_EQ(state.interestCount(), qzm::FleetState::kInterestMax);
    EXPECT_EQ(kept, qzm::FleetState::kInterestMax) << "notes beyond the bound are not news";
    // A GUID already noted is still noted again (and stays news once an hour).
    EXPECT_TRUE(state.noteInterest("G1", "bravo", 1000));
    std::vector<std::string> servers;
    state.interested("G1", 0, &servers);
    EXPECT_EQ(servers.size(), 2u);

    state.noteInterest("G2", "alpha", 100000);
    state.pruneInterest(50000);
    EXPECT_EQ(state.interestCount(), 1u);
    state.interested("G2", 0, &servers);
    EXPECT_EQ(servers, std::vector<std::string>{"alpha"});
}

TEST(FleetState, ChangesAreKeptInOrderAndAppliedOnce) {
    qzm::FleetState state;
    qzm::FleetRecord b;
    b.kind = 'B';
    b.ban.id = 7;
    snprintf(b.ban.server, sizeof b.ban.server, "alpha");
    snprintf(b.ban.guid, sizeof b.ban.guid, "ABC");
    b.change = 3;
    qzm::FleetRecord l;
    l.kind = 'L';
    l.id = 7;
    l.change = 5;
    EXPECT_EQ(state.apply(b), qzm::Applied::NewBan);
    EXPECT_EQ(state.apply(b), qzm::Applied::Nothing);
    EXPECT_EQ(state.apply(l), qzm::Applied::Lifted);
    EXPECT_EQ(state.apply(l), qzm::Applied::Nothing);
    EXPECT_EQ(state.lastChange(), 5);
    ASSERT_EQ(state.changes().size(), 2u);
    EXPECT_EQ(state.changes().begin()->second.kind, 'B');
    EXPECT_EQ(state.changes().rbegin()->second.kind, 'L');
    EXPECT_EQ(state.changes().rbegin()->second.id, 7);
}
