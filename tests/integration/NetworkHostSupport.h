#pragma once
// What the network engine's host tests share: a sensor root with network
// rules (every issue of the signature module, a dynamic block on the land
// attack, a Bastion rule barring telnet), the frames of the attacks, the
// alerts hwhost wrote, and outside readers of capture files.

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "qorZamSensorLib/ZamFrames.h"
#include "rawpacket/ReplayFixture.h"
#include "support/NamespacedHost.h"

namespace hwtest {

struct NetworkPolicyOptions {
    int m_nDynamicBlockPeriod = 30;
    bool m_bConsolidation = false;
    // Every frame read goes to the packet log (opened at the first frame).
    bool m_bPacketLog = true;
    // Further "\config\tuning" values: name, type letter ('S', 'L', 'B'),
    // value (module switches, the loop time-out).
    struct Setting {
        std::string m_strName;
        char m_cType;
        std::string m_strValue;
    };
    std::vector<Setting> m_Tuning = {};
    // The signature module ("sensor.zamplugin"); the default module when empty.
    std::string m_strZamModule = {};
};

// Writes the policy, the common policy with the block list "Default"
// (198.51.100.0/24 allowed) and the module's issue table into the root.
void PrepareNetworkRoot(const NamespacedHost& host, const NetworkPolicyOptions& options);
void PrepareNetworkRoot(const std::string& root, const NetworkPolicyOptions& options);

// The environment that has the packet library replay `capture` as
// "\Device\replay0", the only adapter watched, writing what it passes,
// drops and injects into the root's "replay" folder.
std::vector<std::string> ReplayEnvironment(const NamespacedHost& host, const std::string& capture,
                                           bool bPaced = false);
// The same for a capture file already written at `capturePath`, the
// outputs going to `root`'s "replay" folder.
std::vector<std::string> ReplayFileEnvironment(const std::string& root, const std::string& capturePath,
                                               bool bPaced = false);

struct Alert {
    std::string m_strName;
    int m_nType = 0;
    // Sensor and alert parameters by name.
    std::map<std::string, std::string> m_Params;
    std::string Param(const std::string& name) const {
        auto found = m_Params.find(name);
        return found != m_Params.end() ? found->second : "<none>";
    }
};

std::vector<Alert> ParseAlerts(const std::string& xml);
// The alerts of one rule.
std::vector<Alert> AlertsOf(const std::vector<Alert>& alerts, const std::string& name);
// The numbers 1 to `count` that are not the value of the parameter `name`
// of exactly one alert of rule `rule` ("7 x0", "9 x2"), and the alerts of
// other values ("unsent 0 x1").
std::vector<std::string> NotAlertedOnce(const std::vector<Alert>& alerts, const std::string& rule,
                                        const std::string& name, uint64_t count);
// What hw-webmodule's numbered writing said last ("written W, not written
// F"); false when its output does not end so.
bool ModuleTally(const std::string& said, long& written, long& notWritten);

// Frames of the attacks the module knows, from 198.51.100.7 and
// 203.0.113.x towards 192.0.2.10 unless said.
zamtest::FrameSpec LandAttack();
zamtest::FrameSpec SynFin(uint32_t dwSource = zamtest::Ip(203, 0, 113, 5));
zamtest::FrameSpec Telnet();
zamtest::FrameSpec Benign(uint32_t dwSource = zamtest::Ip(198, 51, 100, 7), uint16_t wPort = 80);

// A capture file of the frames, the first at `dwSeconds` and each
// `dwGapMs` after the one before it.
std::string Capture(const std::vector<zamtest::FrameSpec>& frames, uint32_t dwSeconds = 1767225600u,
                    uint32_t dwGapMs = 1000);
std::vector<rptest::TestFrame> Frames(const std::vector<zamtest::FrameSpec>& frames,
                                      uint32_t dwSeconds = 1767225600u, uint32_t dwGapMs = 1000);

// Standard output of a shell command that must succeed.
std::string Run(const std::string& command);
// `tshark -T fields` lines over a capture file (separator ",").
std::vector<std::string> TsharkFields(const std::string& file, const std::string& fields,
                                      const std::string& options = "");

// Threads of a process, and what its open descriptors name (files,
// "socket:[inode]", ...), sorted.
size_t ThreadCount(pid_t pid);
std::vector<std::string> Descriptors(pid_t pid);

}  // namespace hwtest
