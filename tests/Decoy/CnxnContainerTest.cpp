// The container of held connections: indices that stay put while it grows,
// removals that find nothing, and the shortest time left.

#include "Decoy/CnxnContainer.h"

#include <gtest/gtest.h>

#include "Decoy/DecoyedTCPCnxn.h"
#include "DecoyTestSupport.h"
#include "qorCSFLib/FakeHost.h"

using decoytest::ManualClock;

namespace {

// A connection in the held state without a socket.
class HeldCnxn : public DecoyedTCPCnxn {
public:
    HeldCnxn(CDecoyRule* pRule, uint32_t dwSecondsLeft) : DecoyedTCPCnxn(pRule) {
        m_dwState = kStateAccepted;
        m_dwExpiry = ManualClock::Now() + dwSecondsLeft;
    }
};

class CnxnContainerTest : public ::testing::Test {
protected:
    HeldCnxn* Make(uint32_t dwSecondsLeft) { return new HeldCnxn(m_pRule.get(), dwSecondsLeft); }

    ManualClock m_Clock;
    ScopedHostLog m_HostLog;
    std::unique_ptr<CDecoyRule> m_pRule = decoytest::MakeRule("Rule", 2323);
    CnxnContainer m_Container;
};

}  // namespace

TEST_F(CnxnContainerTest, FullContainerDoublesAndKeepsEveryIndex) {
    for (int32_t n = 0; n < 101; ++n) {
        ASSERT_NE(m_Container.Add(1000 + n, Make(60)), nullptr);
    }
    EXPECT_EQ(m_Container.GetCapacity(), 200);
    EXPECT_EQ(m_Container.GetCount(), 101u);
    for (int32_t n = 0; n < 101; ++n) {
        EXPECT_EQ(m_Container.IndexOf(1000 + n), n);
    }
    // A freed entry is the next one used, not the end.
    delete m_Container.RemoveByKey(1005);
    m_Container.Add(2000, Make(60));
    EXPECT_EQ(m_Container.IndexOf(2000), 5);
}

TEST_F(CnxnContainerTest, RemovingWhatIsNotHeldAnswersNullAndChangesNothing) {
    HeldCnxn* pItem = Make(60);
    m_Container.Add(7, pItem);
    m_Container.Add(8, Make(60));
    EXPECT_EQ(m_Container.RemoveByPointer(pItem), pItem);
    EXPECT_EQ(m_Container.RemoveByPointer(pItem), nullptr);
    EXPECT_TRUE(m_HostLog.Contains("Couldn't find cnxn by pointer"));
    EXPECT_EQ(m_Container.RemoveByKey(7), nullptr);
    EXPECT_TRUE(m_HostLog.Contains("couldn't find cnxn matching key 7"));
    // The free mark is no key: it must not take a free entry for a held one.
    EXPECT_EQ(m_Container.RemoveByKey(CnxnContainer::kFreeKey), nullptr);
    EXPECT_EQ(m_Container.GetCount(), 1u);
    delete pItem;
}

TEST_F(CnxnContainerTest, MinTimeoutIsTheShortestHoldLeftZeroWhenOneIsDueAndMinusOneWhenEmpty) {
    EXPECT_EQ(m_Container.GetMinTimeout(), -1);
    m_Container.Add(1, Make(40));
    m_Container.Add(2, Make(15));
    EXPECT_EQ(m_Container.GetMinTimeout(), 15);
    ManualClock::Advance(15);
    EXPECT_EQ(m_Container.GetMinTimeout(), 0);
    // The due connection stays held until it is removed.
    EXPECT_EQ(m_Container.GetExpiredItem(), m_Container.FindByKey(2));
    delete m_Container.RemoveByKey(2);
    EXPECT_EQ(m_Container.GetMinTimeout(), 25);
    EXPECT_EQ(m_Container.GetExpiredItem(), nullptr);
}
