#include "platform/OwnOutputs.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
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
// The kinds of output a process names: a handful.
constexpr size_t kMaxKinds = 32;

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
        const int64_t llBornNs = m_bBirthUnknownForTest ? 0 : BirthTimeAt(fd, "", AT_EMPTY_PATH);
        std::lock_guard<std::mutex> guard(m_Lock);
        LetGoRemovedLocked(true);
        const uint8_t nKind = KindLocked(pszWhat != nullptr ? pszWhat : "");
        Key& current = m_Current[nKind];
        current = Key{status.m_qwIdentity, llBornNs};
        if (const auto known = FindLocked(status.m_qwIdentity, llBornNs, status.m_uOwner); known != m_Files.end()) {
            // One file may be two outputs at once (standard output and
            // standard error sent to the same file): it keeps the name it
            // was given first while that output still writes it.
            const Key& was = m_Current[known->m_nKind];
            if (known->m_nKind == nKind || was.m_qwIdentity != known->m_qwIdentity ||
                was.m_llBornNs != known->m_llBornNs) {
                known->m_nKind = nKind;
            }
            current.m_llBornNs = known->m_llBornNs;
            m_qwGeneration.fetch_add(1, std::memory_order_release);
            return;
        }
        while (m_Files.size() >= FileBound()) {
            if (!LetGoOldestLocked()) {
                return;
            }
        }
        File file;
        file.m_qwIdentity = status.m_qwIdentity;
        file.m_llBornNs = llBornNs;
        file.m_uOwner = status.m_uOwner;
        file.m_nKind = nKind;
        file.m_qwOrder = ++m_qwNextOrder;
        if (llBornNs == 0) {
            // Without a birth time only the held inode tells this file from
            // a later one given its inode.
            if (m_nDescriptors >= DescriptorBound()) {
                UnpinOldestLocked();
            }
            file.m_nPathFd = ReopenDescriptor(fd, O_PATH);
            m_nDescriptors += file.m_nPathFd >= 0 ? 1 : 0;
        }
        m_Files.insert(std::upper_bound(m_Files.begin(), m_Files.end(), file, ByIdentity), file);
        m_qwGeneration.fetch_add(1, std::memory_order_release);
    }

    bool Holds(uint64_t qwIdentity, int64_t llBornNs, uint32_t uOwner, Held* pHeld) override {
        std::lock_guard<std::mutex> guard(m_Lock);
        const auto it = FindLocked(qwIdentity, llBornNs, uOwner);
        if (it == m_Files.end()) {
            return false;
        }
        if (pHeld != nullptr) {
            *pHeld = Held();
            std::snprintf(pHeld->m_szWhat, sizeof pHeld->m_szWhat, "%s", m_Kinds[it->m_nKind].c_str());
            const Key& current = m_Current[it->m_nKind];
            pHeld->m_bCurrent = current.m_qwIdentity == it->m_qwIdentity && current.m_llBornNs == it->m_llBornNs;
        }
        return true;
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
    uint64_t HeldByIdentityAlone() const override { return m_qwIdentityAlone.load(std::memory_order_relaxed); }

    size_t DescriptorsHeld() override {
        std::lock_guard<std::mutex> guard(m_Lock);
        return m_nDescriptors;
    }

    void SetBoundsForTest(size_t nFiles, size_t nDescriptors) override {
        std::lock_guard<std::mutex> guard(m_Lock);
        m_nFileBoundForTest = nFiles;
        m_nDescriptorBoundForTest = nDescriptors;
    }

    void SetBirthUnknownForTest(bool bUnknown) override { m_bBirthUnknownForTest = bUnknown; }

    void ForgetAllForTest() override {
        std::lock_guard<std::mutex> guard(m_Lock);
        for (File& file : m_Files) {
            CloseLocked(file);
        }
        m_Files.clear();
        std::fill(m_Current.begin(), m_Current.end(), Key());
    }

private:
    struct Key {
        uint64_t m_qwIdentity = 0;
        int64_t m_llBornNs = 0;
    };
    struct File {
        uint64_t m_qwIdentity = 0;
        int64_t m_llBornNs = 0;
        uint64_t m_qwOrder = 0;
        int m_nPathFd = -1;
        uint32_t m_uOwner = 0;
        uint8_t m_nKind = 0;
    };
    static bool ByIdentity(const File& left, const File& right) { return left.m_qwIdentity < right.m_qwIdentity; }

    size_t FileBound() const { return m_nFileBoundForTest != 0 ? m_nFileBoundForTest : kMaxFiles; }
    size_t DescriptorBound() const {
        return m_nDescriptorBoundForTest != 0 ? m_nDescriptorBoundForTest : kMaxHeldDescriptors;
    }

    uint8_t KindLocked(const char* pszWhat) {
        for (size_t n = 0; n < m_Kinds.size(); ++n) {
            if (m_Kinds[n] == pszWhat) {
                return static_cast<uint8_t>(n);
            }
        }
        if (m_Kinds.size() >= kMaxKinds) {
            return static_cast<uint8_t>(kMaxKinds - 1);
        }
        m_Kinds.emplace_back(pszWhat);
        m_Current.emplace_back();
        return static_cast<uint8_t>(m_Kinds.size() - 1);
    }

    std::vector<File>::iterator FindLocked(uint64_t qwIdentity, int64_t llBornNs, uint32_t uOwner) {
        File probe;
        probe.m_qwIdentity = qwIdentity;
        auto it = std::lower_bound(m_Files.begin(), m_Files.end(), probe, ByIdentity);
        for (; it != m_Files.end() && it->m_qwIdentity == qwIdentity; ++it) {
            // Another account's file is never an output, whatever inode it
            // was given once the output's was free.
            if (uOwner != kOwnerNotKnown && uOwner != it->m_uOwner) {
                continue;
            }
            // Where either side does not say when it was made, the
            // identity alone decides (the held descriptor keeps the inode
            // from going to another file).
            if (it->m_llBornNs == 0 || llBornNs == 0 || it->m_llBornNs == llBornNs) {
                return it;
            }
        }
        return m_Files.end();
    }

    bool IsCurrentLocked(const File& file) const {
        const Key& current = m_Current[file.m_nKind];
        return current.m_qwIdentity == file.m_qwIdentity && current.m_llBornNs == file.m_llBornNs;
    }

    void CloseLocked(File& file) {
        if (file.m_nPathFd >= 0) {
            ::close(file.m_nPathFd);
            file.m_nPathFd = -1;
            --m_nDescriptors;
        }
    }

    void LetGoRemovedLocked(bool bNow) {
        if (m_nDescriptors == 0) {
            return;
        }
        const auto now = std::chrono::steady_clock::now();
        if (!bNow && now - m_LastLook < kLookInterval && now >= m_LastLook) {
            return;
        }
        m_LastLook = now;
        m_Files.erase(std::remove_if(m_Files.begin(), m_Files.end(),
                                     [&](File& file) {
                                         struct stat info {};
                                         if (file.m_nPathFd < 0 || ::fstat(file.m_nPathFd, &info) != 0 ||
                                             info.st_nlink != 0) {
                                             return false;
                                         }
                                         CloseLocked(file);
                                         return true;
                                     }),
                      m_Files.end());
    }

    // The earlier output opened first among those that pass `bTake`.
    template <typename Take>
    std::vector<File>::iterator OldestLocked(Take bTake) {
        auto oldest = m_Files.end();
        for (auto it = m_Files.begin(); it != m_Files.end(); ++it) {
            if (!IsCurrentLocked(*it) && bTake(*it) && (oldest == m_Files.end() || it->m_qwOrder < oldest->m_qwOrder)) {
                oldest = it;
            }
        }
        return oldest;
    }

    bool LetGoOldestLocked() {
        const auto oldest = OldestLocked([](const File&) { return true; });
        if (oldest == m_Files.end()) {
            return false;
        }
        CloseLocked(*oldest);
        m_Files.erase(oldest);
        m_qwLetGoAtBound.fetch_add(1, std::memory_order_relaxed);
        return true;
    }

    void UnpinOldestLocked() {
        const auto oldest = OldestLocked([](const File& file) { return file.m_nPathFd >= 0; });
        if (oldest != m_Files.end()) {
            CloseLocked(*oldest);
            m_qwIdentityAlone.fetch_add(1, std::memory_order_relaxed);
        }
    }

    std::mutex m_Lock;
    // Ordered by identity.
    std::vector<File> m_Files;
    // The output kinds named, and the file each is now.
    std::vector<std::string> m_Kinds;
    std::vector<Key> m_Current;
    size_t m_nDescriptors = 0;
    uint64_t m_qwNextOrder = 0;
    std::chrono::steady_clock::time_point m_LastLook{};
    std::atomic<uint64_t> m_qwGeneration{0};
    std::atomic<uint64_t> m_qwLetGoAtBound{0};
    std::atomic<uint64_t> m_qwIdentityAlone{0};
    size_t m_nFileBoundForTest = 0;
    size_t m_nDescriptorBoundForTest = 0;
    std::atomic<bool> m_bBirthUnknownForTest{false};
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
