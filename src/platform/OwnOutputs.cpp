#include "platform/OwnOutputs.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "platform/Environment.h"
#include "platform/Files.h"
#include "platform/TrustedPath.h"

namespace plat {

namespace {

constexpr uint64_t kMagic = 0x4877'4f77'6e4f'7574ull;  // "HwOwnOut"
constexpr auto kLookInterval = std::chrono::seconds(1);

class OwnOutputTable final : public OwnOutputs {
public:
    const uint64_t m_qwMagic = kMagic;

    void Opened(int fd, const char* pszWhat) override {
        struct stat info {};
        if (fd < 0 || ::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
            return;
        }
        FileStatus status;
        FillFileStatus(info, status);
        const int64_t llBornNs = BirthTimeAt(fd, "", AT_EMPTY_PATH);
        std::lock_guard<std::mutex> guard(m_Lock);
        LetGoRemovedLocked(true);
        for (File& file : m_Files) {
            if (std::strcmp(file.m_Held.m_szWhat, pszWhat) == 0) {
                file.m_Held.m_bCurrent = false;
            }
        }
        if (File* pKnown = FindLocked(status.m_qwIdentity, llBornNs)) {
            pKnown->m_Held.m_bCurrent = true;
            m_qwGeneration.fetch_add(1, std::memory_order_release);
            return;
        }
        if (m_Files.size() >= kMaxFiles && !LetGoOldestLocked()) {
            return;
        }
        File file;
        file.m_qwIdentity = status.m_qwIdentity;
        file.m_llBornNs = llBornNs;
        std::snprintf(file.m_Held.m_szWhat, sizeof file.m_Held.m_szWhat, "%s", pszWhat != nullptr ? pszWhat : "");
        file.m_Held.m_bCurrent = true;
        // Without a descriptor to spare it is known by its identity and
        // birth alone, until the bound lets it go.
        file.m_nPathFd = ReopenDescriptor(fd, O_PATH);
        file.m_qwOrder = ++m_qwNextOrder;
        m_Files.push_back(file);
        m_qwGeneration.fetch_add(1, std::memory_order_release);
    }

    bool Holds(uint64_t qwIdentity, int64_t llBornNs, Held* pHeld) override {
        std::lock_guard<std::mutex> guard(m_Lock);
        const File* pFile = FindLocked(qwIdentity, llBornNs);
        if (pFile != nullptr && pHeld != nullptr) {
            *pHeld = pFile->m_Held;
        }
        return pFile != nullptr;
    }

    void LetGoRemoved(bool bNow) override {
        std::lock_guard<std::mutex> guard(m_Lock);
        LetGoRemovedLocked(bNow);
    }

    uint64_t Generation() const override { return m_qwGeneration.load(std::memory_order_acquire); }

    size_t HeldCount() override {
        std::lock_guard<std::mutex> guard(m_Lock);
        return m_Files.size();
    }

    uint64_t LetGoAtBound() const override { return m_qwLetGoAtBound.load(std::memory_order_relaxed); }

private:
    struct File {
        uint64_t m_qwIdentity = 0;
        int64_t m_llBornNs = 0;
        int m_nPathFd = -1;
        uint64_t m_qwOrder = 0;
        Held m_Held;
    };

    File* FindLocked(uint64_t qwIdentity, int64_t llBornNs) {
        for (File& file : m_Files) {
            // A file system that does not say when a file was made leaves
            // the identity alone to go by; the descriptor held keeps it
            // from going to another file.
            if (file.m_qwIdentity == qwIdentity &&
                (file.m_llBornNs == 0 || llBornNs == 0 || file.m_llBornNs == llBornNs)) {
                return &file;
            }
        }
        return nullptr;
    }

    void LetGoRemovedLocked(bool bNow) {
        const auto now = std::chrono::steady_clock::now();
        if (!bNow && now - m_LastLook < kLookInterval && now >= m_LastLook) {
            return;
        }
        m_LastLook = now;
        for (size_t n = 0; n < m_Files.size();) {
            struct stat info {};
            File& file = m_Files[n];
            if (file.m_nPathFd < 0 || ::fstat(file.m_nPathFd, &info) != 0 || info.st_nlink != 0) {
                ++n;
                continue;
            }
            ::close(file.m_nPathFd);
            m_Files.erase(m_Files.begin() + static_cast<std::ptrdiff_t>(n));
        }
    }

    bool LetGoOldestLocked() {
        size_t nOldest = m_Files.size();
        for (size_t n = 0; n < m_Files.size(); ++n) {
            if (!m_Files[n].m_Held.m_bCurrent &&
                (nOldest == m_Files.size() || m_Files[n].m_qwOrder < m_Files[nOldest].m_qwOrder)) {
                nOldest = n;
            }
        }
        if (nOldest == m_Files.size()) {
            return false;
        }
        if (m_Files[nOldest].m_nPathFd >= 0) {
            ::close(m_Files[nOldest].m_nPathFd);
        }
        m_Files.erase(m_Files.begin() + static_cast<std::ptrdiff_t>(nOldest));
        m_qwLetGoAtBound.fetch_add(1, std::memory_order_relaxed);
        return true;
    }

    std::mutex m_Lock;
    std::vector<File> m_Files;
    uint64_t m_qwNextOrder = 0;
    std::chrono::steady_clock::time_point m_LastLook{};
    std::atomic<uint64_t> m_qwGeneration{0};
    std::atomic<uint64_t> m_qwLetGoAtBound{0};
};

// The table another image of this process made, when this process named
// it and it is one.
OwnOutputTable* FindPublished() {
    std::string strValue;
    if (!GetEnvironmentText(kOwnOutputTableVariable, strValue)) {
        return nullptr;
    }
    unsigned long ulAddress = 0;
    unsigned long ulPid = 0;
    char cExtra = 0;
    if (std::sscanf(strValue.c_str(), "%lx,%lx%c", &ulAddress, &ulPid, &cExtra) != 2 || ulAddress == 0 ||
        ulPid != CurrentProcessId() || IsInheritedEnvironmentValue(kOwnOutputTableVariable, strValue.c_str())) {
        return nullptr;
    }
    auto* pTable = reinterpret_cast<OwnOutputTable*>(ulAddress);
    return pTable->m_qwMagic == kMagic ? pTable : nullptr;
}

OwnOutputTable* FindOrMake() {
    if (OwnOutputTable* pFound = FindPublished()) {
        return pFound;
    }
    auto* pTable = new OwnOutputTable;
    char szValue[64];
    std::snprintf(szValue, sizeof szValue, "%lx,%lx", reinterpret_cast<unsigned long>(pTable),
                  static_cast<unsigned long>(CurrentProcessId()));
    SetEnvironmentText(kOwnOutputTableVariable, szValue);
    return pTable;
}

}  // namespace

OwnOutputs& OwnOutputs::Instance() {
    static OwnOutputTable* const s_pTable = FindOrMake();
    return *s_pTable;
}

}  // namespace plat
