#include "TextLogs/SensorOutputs.h"

#include <algorithm>
#include <utility>

#include "platform/Environment.h"
#include "platform/Files.h"

namespace {

constexpr plat::FileHandle kStandardOutput = 1;
constexpr plat::FileHandle kStandardError = 2;
// Files the host writes by renaming a new file over the old: known by name.
constexpr const char* kReplacedByName[] = {"status"};

// The folder of `strPath` ("/" for a file at the root) and its last
// component; false for a name with no folder.
bool SplitName(const std::string& strPath, std::string& strFolder, std::string& strName) {
    const size_t nSlash = strPath.find_last_of("/\\");
    if (nSlash == std::string::npos) {
        return false;
    }
    strFolder = nSlash == 0 ? "/" : strPath.substr(0, nSlash);
    strName = strPath.substr(nSlash + 1);
    return true;
}

uint64_t IdentityOf(const std::string& strPath, bool bFolder) {
    plat::FileStatus status;
    if (!plat::GetFileStatus(strPath.c_str(), status) || (bFolder ? !status.m_bIsDirectory : !status.m_bIsRegular)) {
        return 0;
    }
    return status.m_qwIdentity;
}

}  // namespace

SensorOutputs& SensorOutputs::Instance() {
    static SensorOutputs s_outputs;
    return s_outputs;
}

SensorOutputs::SensorOutputs() {
    std::vector<std::string> entries;
    plat::GetEnvironmentList(plat::kOwnOutputsVariable, entries);
    std::vector<Output> outputs;
    for (const std::string& strEntry : entries) {
        const size_t nEquals = strEntry.find('=');
        if (nEquals == std::string::npos || nEquals + 1 >= strEntry.size()) {
            continue;
        }
        Output output{strEntry.substr(0, nEquals), strEntry.substr(nEquals + 1), false};
        if (output.m_strPath.size() > 1 && output.m_strPath.back() == '/') {
            output.m_bFolder = true;
            output.m_strPath.pop_back();
        }
        outputs.push_back(std::move(output));
    }
    Load(std::move(outputs));
}

void SensorOutputs::SetForTest(std::vector<Output> outputs) { Load(std::move(outputs)); }

void SensorOutputs::Load(std::vector<Output> outputs) {
    std::lock_guard<std::mutex> guard(m_Lock);
    m_Outputs.clear();
    m_Outputs.push_back(Output{"standard output", "", false});
    m_Outputs.push_back(Output{"standard error", "", false});
    m_Named.clear();
    for (Output& output : outputs) {
        const size_t nIndex = m_Outputs.size();
        Named named;
        named.m_nOutput = nIndex;
        const bool bByName = std::find(std::begin(kReplacedByName), std::end(kReplacedByName), output.m_strWhat) !=
                             std::end(kReplacedByName);
        if (output.m_bFolder) {
            named.m_strFolder = output.m_strPath;
            m_Named.push_back(named);
        } else if (bByName && SplitName(output.m_strPath, named.m_strFolder, named.m_strName)) {
            m_Named.push_back(named);
        }
        m_Outputs.push_back(std::move(output));
    }
    m_Known.clear();
}

void SensorOutputs::Refresh() {
    std::lock_guard<std::mutex> guard(m_Lock);
    // Only the files the outputs are now: an identity is given to another
    // file once the one that had it is removed (the status file is
    // replaced at every write, a log may be rotated away and removed).
    m_Known.clear();
    // Standard output and error are files only when the host was started
    // so (a service's StandardOutput=append:, a redirection).
    for (const plat::FileHandle hStream : {kStandardOutput, kStandardError}) {
        plat::FileStatus status;
        if (plat::GetOpenFileStatus(hStream, status) && status.m_bIsRegular) {
            m_Known.emplace_back(status.m_qwIdentity, static_cast<size_t>(hStream - 1));
        }
    }
    for (size_t n = 2; n < m_Outputs.size(); ++n) {
        const bool bByName = std::any_of(m_Named.begin(), m_Named.end(),
                                         [&](const Named& named) { return named.m_nOutput == n; });
        const uint64_t qwIdentity = bByName ? 0 : IdentityOf(m_Outputs[n].m_strPath, false);
        if (qwIdentity != 0) {
            m_Known.emplace_back(qwIdentity, n);
        }
    }
    for (Named& named : m_Named) {
        named.m_qwFolder = IdentityOf(named.m_strFolder, true);
    }
    m_bLastFolderKnown = false;
}

const SensorOutputs::Output* SensorOutputs::Find(const std::string& strName, uint64_t qwIdentity) {
    std::lock_guard<std::mutex> guard(m_Lock);
    if (qwIdentity != 0) {
        for (const auto& [qwKnown, nOutput] : m_Known) {
            if (qwKnown == qwIdentity) {
                return &m_Outputs[nOutput];
            }
        }
    }
    if (m_Named.empty()) {
        return nullptr;
    }
    std::string strFolder;
    std::string strLeaf;
    if (!SplitName(strName, strFolder, strLeaf)) {
        return nullptr;
    }
    // The folder is looked at only for a name an output may have.
    const auto MayBe = [&](const Named& named) { return named.m_strName.empty() || named.m_strName == strLeaf; };
    if (std::none_of(m_Named.begin(), m_Named.end(), MayBe)) {
        return nullptr;
    }
    if (!m_bLastFolderKnown || strFolder != m_strLastFolder) {
        m_strLastFolder = strFolder;
        m_qwLastFolder = IdentityOf(strFolder, true);
        m_bLastFolderKnown = true;
    }
    for (const Named& named : m_Named) {
        if (named.m_qwFolder != 0 && named.m_qwFolder == m_qwLastFolder && MayBe(named)) {
            return &m_Outputs[named.m_nOutput];
        }
    }
    return nullptr;
}

std::string SensorOutputs::WhatOf(size_t nOutput) {
    std::lock_guard<std::mutex> guard(m_Lock);
    if (nOutput >= m_Outputs.size()) {
        return "is the sensor's own output";
    }
    const Output& output = m_Outputs[nOutput];
    if (nOutput < 2) {
        return "is the sensor's own " + output.m_strWhat;
    }
    return output.m_bFolder ? "lies in the sensor's own " + output.m_strWhat + " folder"
                            : "is the sensor's own " + output.m_strWhat + " file";
}
