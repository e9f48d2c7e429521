// Correlation end to end: the real hwhost with the real plug-in in a
// private network namespace (so the syslog engine owns UDP port 514),
// syslog alerts of two watched rules, and the correlation rule's own alert
// that they cause.

#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include "support/NamespacedHost.h"

namespace {

// A correlation rule that fires when failed log-ins (weight 1) and failed
// su (weight 2) add up to 3 within five minutes.
std::string CorrelationPolicy() {
    return hwtest::SyslogPolicy({{"Failed log-in", "Failed password"},
                                 {"Failed su", "FAILED SU"}}) +
           "[\\Advanced\\Rules\\Correlation Rules\\];\r\n"
           "[\\Advanced\\Rules\\Correlation Rules\\Password attack\\];\r\n"
           "Enabled\t=B\t1;\r\n"
           "Priority\t=L\t1;\r\n"
           "Alert Type\t=S\tUserAbnormalActivity;\r\n"
           "Type\t=S\tCUMULATIVE;\r\n"
           "Threshold\t=L\t3;\r\n"
           "Time Window\t=L\t300;\r\n"
           "[\\Advanced\\Rules\\Correlation Rules\\Password attack\\Rules\\];\r\n"
           "Failed log-in\t=S\t1;\r\n"
           "Failed su\t=S\t2;\r\n";
}

class CorrelationHostTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0) {
            GTEST_SKIP() << "needs root for a network namespace";
        }
        ASSERT_TRUE(m_namespace.IsReady()) << m_namespace.Error();
        m_host.WritePolicy(CorrelationPolicy());
        ASSERT_TRUE(m_host.Start()) << m_host.ErrorsTail();
        ASSERT_TRUE(hwtest::WaitUntil([&] { return m_host.SyslogPortOpen(); })) << m_host.Log();
    }

    // Sends one datagram and waits until the host has written `alerts`
    // alerts in all.
    void Send(const std::string& text, size_t alerts) {
        ASSERT_TRUE(m_host.SendDatagram("<38>" + text));
        ASSERT_TRUE(hwtest::WaitUntil([&] { return Count("</event>") >= alerts; }))
            << m_host.Alerts() << m_host.Log();
    }
    size_t Count(const std::string& marker) const { return hwtest::CountOf(m_host.Alerts(), marker); }

    hwtest::NetworkNamespace m_namespace;
    hwtest::NamespacedHost m_host{m_namespace};
};

}  // namespace

TEST_F(CorrelationHostTest, WatchedAlertsReachingTheThresholdRaiseACorrelationAlertFromTheSensor) {
    Send("sshd[7]: Failed password for root from 192.0.2.9 port 22", 1);
    EXPECT_EQ(0u, Count("Password attack"));

    // 1 + 2 reaches the threshold: the failed su goes out, then the
    // correlation alert it caused.
    Send("su[8]: FAILED SU (to root) mallory on pts/0", 3);
    const std::string alerts = m_host.Alerts();
    const size_t su = alerts.find("Failed su");
    const size_t correlated = alerts.find("Password attack");
    ASSERT_NE(std::string::npos, correlated) << alerts;
    EXPECT_LT(su, correlated) << alerts;
    // Its own alert runs from the sensor's address to itself.
    const std::string event = alerts.substr(alerts.rfind("<event", correlated));
    const size_t at = event.find("sensor-address='") + 16;
    const std::string address = event.substr(at, event.find('\'', at) - at);
    for (const char* param : {"SourceAddress", "DestinationAddress"}) {
        EXPECT_NE(std::string::npos, event.find(std::string("name='") + param + "' type='string' value='" +
                                                address + "'"))
            << event;
    }

    int exitCode = -1;
    ASSERT_TRUE(m_host.Stop(exitCode));
    EXPECT_EQ(0, exitCode) << m_host.ErrorsTail();
}
