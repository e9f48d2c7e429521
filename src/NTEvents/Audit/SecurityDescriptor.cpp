#include "NTEvents/Audit/SecurityDescriptor.h"

#include "platform/LastError.h"

namespace {

constexpr uint32_t kAllParts = plat::kSecurityOwner | plat::kSecurityDacl | plat::kSecuritySacl;
// Only the DACL and SACL go back: the owner is never written.
constexpr uint32_t kWrittenParts = plat::kSecurityDacl | plat::kSecuritySacl;
constexpr uint32_t kSidBufferSize = plat::kSidMaxSize;
constexpr uint32_t kDomainBufferSize = 256;

std::unique_ptr<CVisa> AuditVisa(const plat::Sid& sid, uint32_t dwMask, bool bSuccess,
                                 bool bFailure, bool bInherit) {
    auto pVisa = std::make_unique<CVisa>(sid, dwMask);
    pVisa->m_bSuccess = bSuccess ? 1 : 0;
    pVisa->m_bFailure = bFailure ? 1 : 0;
    pVisa->m_bInherit = bInherit ? 1 : 0;
    return pVisa;
}

}  // namespace

CVisa::CVisa(const char* pszAccount) {
    if (pszAccount == nullptr || *pszAccount == '\0') {
        throw CVisaError{plat::kErrInvalidParameter};
    }
    uint8_t sid[kSidBufferSize];
    char domain[kDomainBufferSize];
    uint32_t sidSize = sizeof sid;
    uint32_t domainSize = sizeof domain;
    uint32_t result =
        plat::LookupAccountName(pszAccount, sid, &sidSize, domain, &domainSize, &m_dwSidUse);
    if (result != 0) {
        throw CVisaError{result};
    }
    m_Sid.assign(sid, sid + sidSize);
    m_strName = pszAccount;
}

CVisa::CVisa(const plat::Sid& sid, uint32_t dwMask) : m_Sid(sid), m_dwMask(dwMask) {}

// The owner until a read replaces it: the local system account.
CSD::CSD() {
    plat::Sid system;
    plat::SidFromText("S-1-5-18", system);
    m_pOwner = std::make_unique<CVisa>(system, 0);
}

CSD::~CSD() = default;

void CSD::Fail(uint32_t dwStatus) {
    m_dwLastStatus = dwStatus;
    m_bValid = false;
}

void CSD::Parse(const plat::SecurityDescriptor& read) {
    m_Read = read;
    if (!read.owner.empty()) {
        m_pOwner = std::make_unique<CVisa>(read.owner, 0);
    }
    m_Denied.clear();
    m_Allowed.clear();
    m_Sacl.clear();
    for (const plat::AccessEntry& entry : read.dacl) {
        if (entry.type == plat::kAceAccessDenied) {
            m_Denied.push_back(std::make_unique<CVisa>(entry.sid, entry.mask));
        } else if (entry.type == plat::kAceAccessAllowed) {
            m_Allowed.push_back(std::make_unique<CVisa>(entry.sid, entry.mask));
        }
    }
    for (const plat::AccessEntry& entry : read.sacl) {
        if (entry.type != plat::kAceSystemAudit) {
            continue;
        }
        m_Sacl.push_back(
            AuditVisa(entry.sid, entry.mask, (entry.flags & plat::kAceSuccessfulAccess) != 0,
                      (entry.flags & plat::kAceFailedAccess) != 0,
                      (entry.flags & (plat::kAceObjectInherit | plat::kAceContainerInherit)) != 0));
    }
    Update();
}

uint32_t CSD::Update() {
    // The DACL goes back exactly as read, entry types and flags included.
    m_Working.owner = m_pOwner->m_Sid;
    m_Working.dacl = m_Read.dacl;
    m_Working.sacl.clear();
    for (const auto& pVisa : m_Sacl) {
        plat::AccessEntry entry;
        entry.type = plat::kAceSystemAudit;
        entry.mask = pVisa->m_dwMask;
        entry.sid = pVisa->m_Sid;
        entry.flags = static_cast<uint8_t>(
            (pVisa->m_bSuccess ? plat::kAceSuccessfulAccess : 0) |
            (pVisa->m_bFailure ? plat::kAceFailedAccess : 0) |
            (pVisa->m_bInherit ? plat::kAceObjectInherit | plat::kAceContainerInherit : 0));
        m_Working.sacl.push_back(std::move(entry));
    }
    m_dwLastStatus = 0;
    return 0;
}

uint32_t CSD::SetAudit(const char* pszAccount, uint32_t dwSuccessMask, uint32_t dwFailureMask,
                       bool bInherit) {
    plat::Sid sid;
    try {
        sid = CVisa(pszAccount).m_Sid;
    } catch (const CVisaError&) {
        return plat::kErrInvalidFunction;
    }
    if (!m_bValid) {
        return 0;
    }
    m_Sacl.remove_if(
        [&sid](const std::unique_ptr<CVisa>& pVisa) { return plat::EqualSid(pVisa->m_Sid, sid); });
    if (dwSuccessMask != 0 && dwSuccessMask == dwFailureMask) {
        m_Sacl.push_back(AuditVisa(sid, dwSuccessMask, true, true, bInherit));
    } else {
        if (dwSuccessMask != 0) {
            m_Sacl.push_back(AuditVisa(sid, dwSuccessMask, true, false, bInherit));
        }
        if (dwFailureMask != 0) {
            m_Sacl.push_back(AuditVisa(sid, dwFailureMask, false, true, bInherit));
        }
    }
    return Update();
}

CFileSD::CFileSD(const std::string& strPath) : m_strPath(strPath) {
    m_dwLastStatus = ReadSecurity();
}

CFileSD::~CFileSD() = default;

uint32_t CFileSD::ReadSecurity() {
    plat::SecurityDescriptor read;
    uint32_t result = plat::EnableSecurityPrivilege();
    if (result == 0) {
        result = plat::GetFileSecurity(m_strPath, kAllParts, read);
    }
    if (result != 0) {
        Fail(result);
        return result;
    }
    Parse(read);
    return 0;
}

uint32_t CFileSD::WriteSecurity() {
    if (!m_bValid) {
        return m_dwLastStatus;
    }
    m_dwLastStatus = plat::SetFileSecurity(m_strPath, kWrittenParts, m_Working);
    return m_dwLastStatus;
}

CRegistrySD::CRegistrySD(plat::RegistryKey root, const std::string& strSubKey)
    : m_hRoot(root), m_strSubKey(strSubKey) {
    m_dwLastStatus = ReadSecurity();
}

CRegistrySD::~CRegistrySD() = default;

uint32_t CRegistrySD::ReadSecurity() {
    plat::SecurityDescriptor read;
    uint32_t result = plat::EnableSecurityPrivilege();
    if (result == 0) {
        result = plat::GetKeySecurity(m_hRoot, m_strSubKey, kAllParts, read);
    }
    if (result != 0) {
        Fail(result);
        return result;
    }
    Parse(read);
    return 0;
}

uint32_t CRegistrySD::WriteSecurity() {
    if (!m_bValid) {
        return m_dwLastStatus;
    }
    m_dwLastStatus = plat::SetKeySecurity(m_hRoot, m_strSubKey, kWrittenParts, m_Working);
    return m_dwLastStatus;
}
