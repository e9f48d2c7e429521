#include "TextLogs/SensorOutputs.h"

#include <algorithm>
#include <string_view>
#include <utility>

#include "platform/Environment.h"
#include "platform/Files.h"
#include "platform/OwnOutputs.h"

namespace {

constexpr plat::FileHandle kStandardOutput = 1;
constexpr plat::FileHandle kStandardError = 2;
// Files the host writes by renaming a new file over the old: known by name.
constexpr const char* kReplacedByName[] = {"status"};
// What may follow an output's name in the names a rotation gives it, one
// or more of them (a number after a separator is taken on its own).
constexpr std::string_view kRotationWords[] = {".old", ".bak", ".save", "~",     ".gz",   ".bz2", ".xz",
                                               ".zst", ".lz4", ".lzma", ".lzo", ".Z", ".br", ".zip"};

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

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Whether `rest` is one or more of what a rotation puts after a name.
bool IsRotationSuffix(std::string_view rest) {
    if (rest.empty()) {
        return false;
    }
    while (!rest.empty()) {
        if ((rest[0] == '.' || rest[0] == '-' || rest[0] == '_') && rest.size() > 1 && IsDigit(rest[1])) {
            size_t nEnd = 1;
            while (nEnd < rest.size() && IsDigit(rest[nEnd])) {
                ++nEnd;
            }
            rest.remove_prefix(nEnd);
            continue;
        }
        const auto word = std::find_if(std::begin(kRotationWords), std::end(kRotationWords), [&](std::string_view w) {
            return rest.substr(0, w.size()) == w &&
                   (rest.size() == w.size() || std::string_view(".-_~").find(rest[w.size()]) != std::string_view::npos);
        });
        if (word == std::end(kRotationWords)) {
            return false;
        }
        rest.remove_prefix(word->size());
    }
    return true;
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
        } else if (SplitName(output.m_strPath, named.m_strFolder, named.m_strName)) {
            // A file output's name, and the names a rotation gives it, are
            // its own in its folder: a copy a rotation makes is a new file.
            named.m_bRotations = !bByName;
            m_Named.push_back(named);
        }
        m_Outputs.push_back(std::move(output));
    }
    m_Known.clear();
}

void SensorOutputs::Refresh() {
    // The earlier outputs removed since are let go: their identities may
    // go to other files.
    plat::OwnOutputs::Instance().LetGoRemoved();
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
        const bool bByName =
            std::find(std::begin(kReplacedByName), std::end(kReplacedByName), m_Outputs[n].m_strWhat) !=
            std::end(kReplacedByName);
        const uint64_t qwIdentity = bByName || m_Outputs[n].m_bFolder ? 0 : IdentityOf(m_Outputs[n].m_strPath, false);
        if (qwIdentity != 0) {
            m_Known.emplace_back(qwIdentity, n);
        }
    }
    for (Named& named : m_Named) {
        named.m_qwFolder = IdentityOf(named.m_strFolder, true);
    }
    m_bLastFolderKnown = false;
}

size_t SensorOutputs::OutputOf(const char* pszWhat) const {
    for (size_t n = 0; n < m_Outputs.size(); ++n) {
        if (m_Outputs[n].m_strWhat == pszWhat) {
            return n;
        }
    }
    return m_Outputs.size();
}

bool SensorOutputs::Find(const std::string& strName, uint64_t qwIdentity, int64_t llBornNs, Match* pMatch) {
    const auto Found = [&](size_t nOutput, Match::Kind kind) {
        if (pMatch != nullptr) {
            *pMatch = Match{nOutput, kind};
        }
        return true;
    };
    // Whatever the host wrote in this run, by the file itself.
    plat::OwnOutputs::Held held;
    if (qwIdentity != 0 && HeldAsOutput(strName, qwIdentity, llBornNs, held)) {
        std::lock_guard<std::mutex> guard(m_Lock);
        return Found(OutputOf(held.m_szWhat), held.m_bCurrent ? Match::Kind::kIs : Match::Kind::kWas);
    }
    std::lock_guard<std::mutex> guard(m_Lock);
    if (qwIdentity != 0) {
        for (const auto& [qwKnown, nOutput] : m_Known) {
            if (qwKnown == qwIdentity) {
                return Found(nOutput, Match::Kind::kIs);
            }
        }
    }
    if (m_Named.empty()) {
        return false;
    }
    std::string strFolder;
    std::string strLeaf;
    if (!SplitName(strName, strFolder, strLeaf)) {
        return false;
    }
    // The folder is looked at only for a name an output may have.
    const auto Kind = [&](const Named& named, Match::Kind& kind) {
        kind = Match::Kind::kIs;
        if (named.m_strName.empty() || named.m_strName == strLeaf) {
            return true;
        }
        kind = Match::Kind::kRotatedName;
        return named.m_bRotations && IsRotatedName(named.m_strName, strLeaf);
    };
    Match::Kind kind = Match::Kind::kIs;
    if (std::none_of(m_Named.begin(), m_Named.end(), [&](const Named& named) { return Kind(named, kind); })) {
        return false;
    }
    if (!m_bLastFolderKnown || strFolder != m_strLastFolder) {
        m_strLastFolder = strFolder;
        m_qwLastFolder = IdentityOf(strFolder, true);
        m_bLastFolderKnown = true;
    }
    for (const Named& named : m_Named) {
        if (named.m_qwFolder != 0 && named.m_qwFolder == m_qwLastFolder && Kind(named, kind)) {
            return Found(named.m_nOutput, kind);
        }
    }
    return false;
}

bool SensorOutputs::HeldAsOutput(const std::string& strName, uint64_t qwIdentity, int64_t llBornNs,
                                 plat::OwnOutputs::Held& held) {
    plat::OwnOutputs& table = plat::OwnOutputs::Instance();
    if (!table.Holds(qwIdentity, llBornNs, plat::OwnOutputs::kOwnerNotKnown, nullptr)) {
        return false;
    }
    // Only a file the table holds is looked at for its owner: a file of
    // another account that was given a removed output's inode (where the
    // file system does not say when a file was made) is that account's
    // input, not the sensor's output.  A name that no longer leads to the
    // file leaves its owner unknown, and the identity decides.
    plat::FileStatus status;
    const uint32_t uOwner = plat::GetFileStatus(strName.c_str(), status) && status.m_qwIdentity == qwIdentity
                                ? status.m_uOwner
                                : plat::OwnOutputs::kOwnerNotKnown;
    return table.Holds(qwIdentity, llBornNs, uOwner, &held);
}

uint64_t SensorOutputs::Generation() const { return plat::OwnOutputs::Instance().Generation(); }

bool SensorOutputs::IsRotatedName(std::string_view strOutput, std::string_view strName) {
    if (strOutput.empty() || strName.size() <= strOutput.size()) {
        return false;
    }
    if (strName.substr(0, strOutput.size()) == strOutput && IsRotationSuffix(strName.substr(strOutput.size()))) {
        return true;
    }
    // The suffix before the name's last extension, as logrotate's
    // "extension" puts it (alerts.1.xml, alerts-20261208.xml.gz).
    const size_t nDot = strOutput.rfind('.');
    if (nDot == std::string_view::npos || nDot == 0) {
        return false;
    }
    const std::string_view strStem = strOutput.substr(0, nDot);
    const std::string_view strExtension = strOutput.substr(nDot);
    if (strName.substr(0, strStem.size()) != strStem) {
        return false;
    }
    for (size_t nAt = strName.find(strExtension, strStem.size() + 1); nAt != std::string_view::npos;
         nAt = strName.find(strExtension, nAt + 1)) {
        const std::string_view strAfter = strName.substr(nAt + strExtension.size());
        if (IsRotationSuffix(strName.substr(strStem.size(), nAt - strStem.size())) &&
            (strAfter.empty() || IsRotationSuffix(strAfter))) {
            return true;
        }
    }
    return false;
}

std::string SensorOutputs::Describe(const Match& match) {
    std::lock_guard<std::mutex> guard(m_Lock);
    if (match.m_nOutput >= m_Outputs.size()) {
        return "is the sensor's own output";
    }
    const Output& output = m_Outputs[match.m_nOutput];
    // Standard output and error are streams; the others are files.
    const bool bStream = match.m_nOutput < 2 || output.m_strWhat.rfind("standard ", 0) == 0;
    const std::string strOutput = "the sensor's own " + output.m_strWhat + (bStream ? "" : " file");
    switch (match.m_Kind) {
        case Match::Kind::kWas:
            return "was " + strOutput + " earlier in this run";
        case Match::Kind::kRotatedName:
            return "bears a rotated name of " + strOutput + " " + output.m_strPath;
        case Match::Kind::kIs:
            break;
    }
    return output.m_bFolder ? "lies in the sensor's own " + output.m_strWhat + " folder" : "is " + strOutput;
}
