#include "integration/NetworkHostSupport.h"

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <sstream>

#include "support/ExternalCheck.h"
#include "support/TestUtil.h"

namespace hwtest {

namespace {

std::string Section(const std::string& path) { return "[" + path + "\\];\r\n"; }

std::string Value(const std::string& name, char type, const std::string& value) {
    return name + "\t=" + type + "\t" + value + ";\r\n";
}

const char* const kIssues[] = {"Land_Attack",         "TCP_SynFin",   "IP_PingOfDeath_Jolt",
                               "IP_PingOfDeath_Jolt2", "TCP_PortScan", "Payload_Cmd_Exe"};

std::string NetworkPolicy(const NetworkPolicyOptions& options) {
    std::string text = "Host Warden network test policy\r\n" + Section("") + Section("\\config") +
                       Value("Nodekeeper", 'B', "1") + Value("ScriptEnabled", 'B', "0") +
                       (options.m_strZamModule.empty() ? "" : Value("sensor.zamplugin", 'S', options.m_strZamModule)) +
                       Value("DynamicBlockPeriod", 'L', std::to_string(options.m_nDynamicBlockPeriod)) +
                       Section("\\config\\tuning") + Value("BlockEnabled", 'B', "1") +
                       Value("advancedeventconsolidation.enabled", 'B', options.m_bConsolidation ? "1" : "0") +
                       Value("packetLog.logging", 'B', options.m_bPacketLog ? "1" : "0") + Value("packetLog.filesuffix", 'S', ".tcp") +
                       Value("evidence.filesuffix", 'S', ".tcp");
    for (const NetworkPolicyOptions::Setting& setting : options.m_Tuning) {
        text += Value(setting.m_strName, setting.m_cType, setting.m_strValue);
    }
    const std::string rules = "\\Advanced\\Rules\\Nodekeeper Rules\\";
    text += Section("\\Advanced") + Section("\\Advanced\\Rules") + Section(rules.substr(0, rules.size() - 1));
    for (const char* issue : kIssues) {
        const std::string rule = rules + issue;
        text += Section(rule) + Value("Enabled", 'B', "1") + Value("Priority", 'L', "1");
        if (std::string(issue) == "Land_Attack") {
            text += Value("DynamicBlock", 'B', "1") + Section(rule + "\\Response") +
                    Section(rule + "\\Response\\BLOCK") + Value("Enabled", 'B', "1") +
                    Value("Choice", 'S', "Default");
        }
    }
    const std::string bastion = "\\Advanced\\Rules\\Bastion";
    text += Section(bastion) + Section(bastion + "\\TCP Incoming") + Section(bastion + "\\TCP Incoming\\No telnet") +
            Value("Enabled", 'B', "1") + Value("shrt", 'S', "TEL") + Value("Port", 'L', "23") +
            Value("Allow", 'B', "0") + Value("Addresses", 'S', "0.0.0.0");
    return text;
}

const char kCommonPolicy[] =
    "Host Warden common policy\r\n[\\];\r\n[\\Response\\];\r\n[\\Response\\BLOCK\\];\r\n"
    "[\\Response\\BLOCK\\Default\\];\r\nAddresses\t=S\t198.51.100.0/24;\r\nAllow\t=B\t1;\r\n";

// The value of attribute `name` inside `tag`, or empty.
std::string Attribute(const std::string& tag, const std::string& name) {
    const std::string marker = " " + name + "='";
    size_t at = tag.find(marker);
    if (at == std::string::npos) {
        return "";
    }
    at += marker.size();
    return tag.substr(at, tag.find('\'', at) - at);
}

std::vector<std::string> EntriesOf(const std::string& directory) {
    std::vector<std::string> names;
    if (DIR* dir = ::opendir(directory.c_str())) {
        while (const dirent* entry = ::readdir(dir)) {
            if (entry->d_name[0] != '.') {
                names.emplace_back(entry->d_name);
            }
        }
        ::closedir(dir);
    }
    return names;
}

}  // namespace

void PrepareNetworkRoot(const std::string& root, const NetworkPolicyOptions& options) {
    WriteWholeFile(root + "/Default.policy", NetworkPolicy(options));
    WriteWholeFile(root + "/common.policy", kCommonPolicy);
    std::filesystem::create_directories(root + "/Duskwall");
    std::filesystem::create_directories(root + "/replay");
    std::filesystem::copy_file(std::string(HW_SOURCE_DIR) + "/examples/demo/Duskwall/issues.csv",
                               root + "/Duskwall/issues.csv",
                               std::filesystem::copy_options::overwrite_existing);
}

void PrepareNetworkRoot(const NamespacedHost& host, const NetworkPolicyOptions& options) {
    PrepareNetworkRoot(host.Root(), options);
}

std::vector<std::string> ReplayFileEnvironment(const std::string& root, const std::string& capturePath,
                                               bool bPaced) {
    return {"HW_PACKET_REPLAY=" + capturePath, "HW_PACKET_MONITOR=\\Device\\replay0",
            "HW_PACKET_REPLAY_OUT=" + root + "/replay", std::string("HW_PACKET_REPLAY_PACE=") + (bPaced ? "1" : "0")};
}

std::vector<std::string> ReplayEnvironment(const NamespacedHost& host, const std::string& capture,
                                           bool bPaced) {
    WriteWholeFile(host.File("input.pcap"), capture);
    return ReplayFileEnvironment(host.Root(), host.File("input.pcap"), bPaced);
}

std::vector<Alert> ParseAlerts(const std::string& xml) {
    std::vector<Alert> alerts;
    for (size_t start = xml.find("<event "); start != std::string::npos; start = xml.find("<event ", start + 1)) {
        const size_t end = xml.find("</event>", start);
        if (end == std::string::npos) {
            break;
        }
        const std::string event = xml.substr(start, end - start);
        Alert alert;
        const std::string head = event.substr(0, event.find('>'));
        alert.m_strName = Attribute(head, "alert-name");
        alert.m_nType = std::atoi(Attribute(head, "alert-type").c_str());
        for (size_t at = event.find("<param "); at != std::string::npos; at = event.find("<param ", at + 1)) {
            const std::string param = event.substr(at, event.find("/>", at) - at);
            alert.m_Params.emplace(Attribute(param, "name"), Attribute(param, "value"));
        }
        alerts.push_back(std::move(alert));
    }
    return alerts;
}

std::vector<Alert> AlertsOf(const std::vector<Alert>& alerts, const std::string& name) {
    std::vector<Alert> chosen;
    for (const Alert& alert : alerts) {
        if (alert.m_strName == name) {
            chosen.push_back(alert);
        }
    }
    return chosen;
}

std::vector<std::string> NotAlertedOnce(const std::vector<Alert>& alerts, const std::string& rule,
                                        const std::string& name, uint64_t count) {
    std::map<std::string, int> counts;
    for (const Alert& alert : AlertsOf(alerts, rule)) {
        ++counts[alert.Param(name)];
    }
    std::vector<std::string> wrong;
    for (uint64_t n = 1; n <= count; ++n) {
        const auto found = counts.find(std::to_string(n));
        if (found == counts.end() || found->second != 1) {
            wrong.push_back(std::to_string(n) + " x" + std::to_string(found == counts.end() ? 0 : found->second));
        }
        if (found != counts.end()) {
            counts.erase(found);
        }
    }
    for (const auto& [value, times] : counts) {
        wrong.push_back("unsent " + value + " x" + std::to_string(times));
    }
    return wrong;
}

bool ModuleTally(const std::string& said, long& written, long& notWritten) {
    const size_t lastLine = said.find_last_of('\n', said.size() < 2 ? 0 : said.size() - 2);
    return std::sscanf(said.c_str() + (lastLine == std::string::npos ? 0 : lastLine + 1),
                       "written %ld, not written %ld", &written, &notWritten) == 2;
}

zamtest::FrameSpec LandAttack() {
    zamtest::FrameSpec spec;
    spec.m_dwSource = spec.m_dwDestination;
    spec.m_wSourcePort = spec.m_wDestinationPort = 139;
    return spec;
}

zamtest::FrameSpec SynFin(uint32_t dwSource) {
    zamtest::FrameSpec spec;
    spec.m_dwSource = dwSource;
    spec.m_wSourcePort = 5555;
    spec.m_wDestinationPort = 22;
    spec.m_byTcpFlags = 0x03;
    return spec;
}

zamtest::FrameSpec Telnet() {
    zamtest::FrameSpec spec;
    spec.m_wSourcePort = 40001;
    spec.m_wDestinationPort = 23;
    return spec;
}

zamtest::FrameSpec Benign(uint32_t dwSource, uint16_t wPort) {
    zamtest::FrameSpec spec;
    spec.m_dwSource = dwSource;
    spec.m_wDestinationPort = wPort;
    return spec;
}

std::vector<rptest::TestFrame> Frames(const std::vector<zamtest::FrameSpec>& frames, uint32_t dwSeconds,
                                      uint32_t dwGapMs) {
    std::vector<rptest::TestFrame> out;
    uint64_t at = 0;
    for (const zamtest::FrameSpec& spec : frames) {
        out.push_back({zamtest::BuildFrame(spec), dwSeconds + static_cast<uint32_t>(at / 1000),
                       static_cast<uint32_t>(at % 1000) * 1000});
        at += dwGapMs;
    }
    return out;
}

std::string Capture(const std::vector<zamtest::FrameSpec>& frames, uint32_t dwSeconds, uint32_t dwGapMs) {
    return rptest::PcapBytes(Frames(frames, dwSeconds, dwGapMs));
}

std::string Run(const std::string& command) { return testing_support::RunCommand(command); }

std::vector<std::string> TsharkFields(const std::string& file, const std::string& fields,
                                      const std::string& options) {
    std::istringstream out(Run("tshark -r '" + file + "' " + options + " -T fields -E separator=, " + fields +
                               " 2>/dev/null"));
    std::vector<std::string> lines;
    for (std::string line; std::getline(out, line);) {
        lines.push_back(line);
    }
    return lines;
}

size_t ThreadCount(pid_t pid) { return EntriesOf("/proc/" + std::to_string(pid) + "/task").size(); }

std::vector<std::string> Descriptors(pid_t pid) {
    const std::string directory = "/proc/" + std::to_string(pid) + "/fd/";
    std::vector<std::string> targets;
    for (const std::string& name : EntriesOf(directory)) {
        char target[4096];
        const ssize_t length = ::readlink((directory + name).c_str(), target, sizeof target - 1);
        targets.emplace_back(length > 0 ? std::string(target, static_cast<size_t>(length)) : "?");
    }
    std::sort(targets.begin(), targets.end());
    return targets;
}

}  // namespace hwtest
