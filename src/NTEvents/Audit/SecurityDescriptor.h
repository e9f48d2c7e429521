#pragma once
// A small model of one object's security descriptor: the owner, the DACL
// (carried back unchanged) and the SACL as a list of account entries, so
// that one account's audit entries can be replaced and the rest kept.

#include <cstdint>
#include <list>
#include <memory>
#include <string>

#include "platform/Accounts.h"
#include "platform/Registry.h"
#include "platform/Security.h"

// One account entry of a descriptor.
class CVisa {
public:
    // Resolves the account on the local system; throws CVisaError when it
    // cannot be resolved.
    explicit CVisa(const char* pszAccount);
    CVisa(const plat::Sid& sid, uint32_t dwMask);

    plat::Sid m_Sid;
    uint32_t m_dwSidUse = 0;
    std::string m_strName;
    uint32_t m_dwMask = 0;
    uint8_t m_bSuccess = 0;
    uint8_t m_bFailure = 0;
    uint8_t m_bInherit = 0;
};

struct CVisaError {
    uint32_t dwError;
};

// The descriptor of one object, read when it is made.
class CSD {
public:
    CSD();
    virtual ~CSD();
    CSD(const CSD&) = delete;
    CSD& operator=(const CSD&) = delete;

    virtual uint32_t ReadSecurity() = 0;
    virtual uint32_t WriteSecurity() = 0;

    // Replaces the audit entries of the account: none when both masks are
    // 0, one with both flags when they are equal, else one per nonzero mask.
    // 1 when the account cannot be resolved; 0 without a change on an object
    // whose read failed.
    uint32_t SetAudit(const char* pszAccount, uint32_t dwSuccessMask, uint32_t dwFailureMask,
                      bool bInherit);

    bool IsValid() const { return m_bValid; }
    uint32_t GetLastStatus() const { return m_dwLastStatus; }
    const std::list<std::unique_ptr<CVisa>>& GetAuditEntries() const { return m_Sacl; }

protected:
    // Parse mode: the read descriptor into the owner and the lists.
    void Parse(const plat::SecurityDescriptor& read);
    // Build mode: the working descriptor from the lists.
    uint32_t Update();
    void Fail(uint32_t dwStatus);

    bool m_bValid = true;
    uint32_t m_dwLastStatus = 0;
    plat::SecurityDescriptor m_Read;
    plat::SecurityDescriptor m_Working;
    std::unique_ptr<CVisa> m_pOwner;
    std::list<std::unique_ptr<CVisa>> m_Denied;
    std::list<std::unique_ptr<CVisa>> m_Allowed;
    std::list<std::unique_ptr<CVisa>> m_Sacl;
};

class CFileSD : public CSD {
public:
    explicit CFileSD(const std::string& strPath);
    ~CFileSD() override;
    uint32_t ReadSecurity() override;
    uint32_t WriteSecurity() override;

private:
    std::string m_strPath;
};

class CRegistrySD : public CSD {
public:
    CRegistrySD(plat::RegistryKey root, const std::string& strSubKey);
    ~CRegistrySD() override;
    uint32_t ReadSecurity() override;
    uint32_t WriteSecurity() override;

private:
    plat::RegistryKey m_hRoot;
    std::string m_strSubKey;
};
