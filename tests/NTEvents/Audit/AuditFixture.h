#pragma once
// A private platform root and sensor directory for each audit test, the
// host log captured, a sensor holding the rules, and the process-wide audit
// lists emptied before and after.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "Common/FakeSensorCore.h"
#include "Common/Rule.h"
#include "Common/SensorSettings.h"
#include "NTEvents/Audit/FileAudit.h"
#include "NTEvents/Audit/GlobalAudit.h"
#include "NTEvents/Audit/InitializeStrategy.h"
#include "NTEvents/Audit/RegKeyAudit.h"
#include "platform/Registry.h"
#include "platform/Security.h"
#include "qorToolsLib/ConfigStore.h"
#include "support/TestUtil.h"

class AuditRule : public Rule {
public:
    Rule* Clone() const override { return new AuditRule(*this); }
    bool IsRule() const override { return true; }
};

class AuditFixture : public ::testing::Test {
protected:
    void SetUp() override {
        ResetLists();
        SensorSettings::Instance().m_bEnforceAuditPolicy = true;
        SensorSettings::Instance().m_bOverwriteLogs = true;
        std::filesystem::create_directories(m_dir.File("sensor"));
        InitializeStrategy::SetSensorDirectory(m_dir.File("sensor") + "/");
        InitializeStrategy::RecordStore().SetFileName("");
        CGlobalAudit::Instance().ResetFlags();
    }

    void TearDown() override {
        ResetLists();
        plat::RegistryFlush();
    }

    static void ResetLists() {
        CFileAudit::Clear();
        CRegKeyAudit::Clear();
    }

    // A rule with the audit lists given as name/value pairs: global, file
    // rights and key rights.
    using Pairs = std::vector<std::pair<std::string, std::string>>;
    Rule* AddRule(const std::string& strName, const Pairs& global, const Pairs& fileRights,
                  const Pairs& keyRights = {}) {
        auto* pRule = new AuditRule;
        pRule->SetName(strName);
        pRule->Enable();
        Fill(*pRule, 1, global);
        Fill(*pRule, 5, fileRights);
        Fill(*pRule, 9, keyRights);
        m_sensor.m_Rules.Add(pRule);
        return pRule;
    }

    static void Fill(Rule& rule, uint32_t dwNames, const Pairs& pairs) {
        for (const auto& [name, value] : pairs) {
            rule.GetList(dwNames).push_back(name);
            rule.GetList(dwNames + 1).push_back(value);
        }
    }

    std::string MakeFile(const std::string& name) {
        std::string path = m_dir.File(name);
        std::filesystem::create_directories(std::filesystem::path(path).parent_path());
        hwtest::WriteWholeFile(path, "x");
        return path;
    }

    static void MakeKey(const char* path) {
        plat::RegistryKey key = 0;
        ASSERT_EQ(0u, plat::RegistryCreateKey(plat::kRegistryLocalMachine, path, &key));
        plat::RegistryCloseKey(key);
    }

    // The audit entries on a file, as (mask, flags, SID text).
    static std::vector<std::string> FileAudits(const std::string& path) {
        return Describe(path, 0, nullptr);
    }
    static std::vector<std::string> KeyAudits(plat::RegistryKey root, const char* subKey) {
        return Describe("", root, subKey);
    }

    static std::vector<std::string> Describe(const std::string& path, plat::RegistryKey root,
                                             const char* subKey) {
        plat::SecurityDescriptor sd;
        plat::EnableSecurityPrivilege();
        uint32_t result = subKey == nullptr
                              ? plat::GetFileSecurity(path, plat::kSecuritySacl, sd)
                              : plat::GetKeySecurity(root, subKey, plat::kSecuritySacl, sd);
        std::vector<std::string> entries;
        if (result != 0) {
            entries.push_back("error " + std::to_string(result));
        }
        for (const plat::AccessEntry& entry : sd.sacl) {
            char text[64];
            std::snprintf(text, sizeof text, "0x%08X 0x%02X ", entry.mask, entry.flags);
            entries.push_back(text + plat::SidToText(entry.sid));
        }
        return entries;
    }

    hwtest::ScratchDirectory m_dir;
    hwtest::EnvironmentOverride m_root{"QOR_PLATFORM_ROOT", m_dir.Path().c_str()};
    FakeSensorCore m_sensor;
    ScopedHostLog m_log;
};
