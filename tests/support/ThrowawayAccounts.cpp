#include "support/ThrowawayAccounts.h"

#include <pwd.h>
#include <unistd.h>

#include "support/ChildProcess.h"
#include "support/TestUtil.h"

namespace hwtest {
namespace {

// Runs a program to its end; whether it ended with exit code 0.
bool Run(const std::vector<std::string>& argv) {
    ChildProcess child;
    int nExit = -1;
    return child.Start(argv) && child.Wait(60, nExit) && nExit == 0;
}

// The account files may be locked for a moment by another test doing the same.
bool Retried(const std::vector<std::string>& argv) {
    return WaitUntil([&] { return Run(argv); }, 60);
}

}  // namespace

ThrowawayAccounts::ThrowawayAccounts()
    : m_strGroup("hwwg" + std::to_string(::getpid())),
      m_strMember("hwwm" + std::to_string(::getpid())),
      m_strStranger("hwws" + std::to_string(::getpid())) {
    Remove();
    m_bReady = Retried({"/usr/sbin/groupadd", m_strGroup}) &&
               Retried({"/usr/sbin/useradd", "-M", "-N", "-s", "/usr/sbin/nologin", "-G", m_strGroup,
                        m_strMember}) &&
               Retried({"/usr/sbin/useradd", "-M", "-N", "-s", "/usr/sbin/nologin", m_strStranger});
}

ThrowawayAccounts::~ThrowawayAccounts() { Remove(); }

std::vector<std::string> ThrowawayAccounts::As(const std::string& strUser, std::vector<std::string> argv) {
    const struct passwd* pEntry = ::getpwnam(strUser.c_str());
    std::vector<std::string> line{"/usr/bin/setpriv", "--reuid=" + strUser,
                                  "--regid=" + std::to_string(pEntry != nullptr ? pEntry->pw_gid : 65534),
                                  "--init-groups", "--"};
    line.insert(line.end(), argv.begin(), argv.end());
    return line;
}

bool ThrowawayAccounts::RunAs(const std::string& strUser, const std::vector<std::string>& argv) {
    return Run(As(strUser, argv));
}

void ThrowawayAccounts::Remove() {
    Run({"/usr/sbin/userdel", m_strMember});
    Run({"/usr/sbin/userdel", m_strStranger});
    Run({"/usr/sbin/groupdel", m_strGroup});
}

}  // namespace hwtest
