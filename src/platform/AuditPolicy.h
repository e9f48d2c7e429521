#pragma once
// The local system audit policy: whether auditing is on and one option per
// audit category (1 success, 2 failure, 3 both, 4 none).  Kept in the
// platform registry under HKEY_LOCAL_MACHINE "SECURITY\Policy\AuditEvents":
//   "AuditingMode"   word, 0 or 1
//   "Option<i>"      word, the option of category i
//   "CategoryCount"  word, the number of categories the system reports (9
//                    when absent)
//   "OpenStatus", "SetStatus"  words; when present and nonzero an open, or
//                    a set, fails with that status (to stand for a system
//                    that refuses them)
// Results are 0 or a status in the system's policy numbering (0xC...).

#include <cstdint>
#include <vector>

namespace plat {

using LsaHandle = uint32_t;

constexpr uint32_t kLsaStatusInvalidHandle = 0xC0000008u;
constexpr uint32_t kLsaStatusInvalidParameter = 0xC000000Du;

uint32_t LsaOpenAuditPolicy(uint32_t access, LsaHandle* handle);
// The auditing mode and the options, one per category the system reports.
uint32_t LsaQueryAuditEvents(LsaHandle handle, bool* auditingMode, std::vector<uint32_t>* options);
uint32_t LsaSetAuditEvents(LsaHandle handle, bool auditingMode, const uint32_t* options,
                           uint32_t count);
uint32_t LsaCloseAuditPolicy(LsaHandle handle);

}  // namespace plat
