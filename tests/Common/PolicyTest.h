#pragma once
// A fixture for tests of rule readers: the fake sensor, a policy built in
// code, and the lines the library writes to its console, captured.

#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "FakeSensorCore.h"
#include "hostwarden/IPolicyContainer.h"
#include "platform/Console.h"

class PolicyTest : public ::testing::Test {
protected:
    PolicyTest() {
        m_PreviousConsole = plat::SetConsoleSink([this](std::string_view text) { m_strConsole += text; });
    }
    ~PolicyTest() override { plat::SetConsoleSink(std::move(m_PreviousConsole)); }

    void Set(const std::string& strPath, const char* pszName, bool bValue) {
        m_pPolicy->SetBool(strPath.c_str(), pszName, &bValue);
    }
    void Set(const std::string& strPath, const char* pszName, int32_t nValue) {
        m_pPolicy->SetLong(strPath.c_str(), pszName, &nValue);
    }
    void Set(const std::string& strPath, const char* pszName, const char* pszText) {
        m_pPolicy->SetText(strPath.c_str(), pszName, pszText);
    }

    FakeSensorCore m_Sensor;
    PolicyPtr m_pPolicy{CreatePluginPolicyContainer()};
    std::string m_strConsole;

private:
    plat::ConsoleSink m_PreviousConsole;
};
