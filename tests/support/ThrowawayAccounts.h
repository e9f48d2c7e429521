#pragma once
// A group and two accounts of a test's own, made with groupadd/useradd
// (root) and removed again: "member" belongs to the group, "stranger" does
// not.  For running a program under an account other than the sensor's.

#include <string>
#include <vector>

namespace hwtest {

class ThrowawayAccounts {
public:
    ThrowawayAccounts();
    ~ThrowawayAccounts();
    ThrowawayAccounts(const ThrowawayAccounts&) = delete;
    ThrowawayAccounts& operator=(const ThrowawayAccounts&) = delete;

    bool IsReady() const { return m_bReady; }
    const std::string& Group() const { return m_strGroup; }
    const std::string& Member() const { return m_strMember; }
    const std::string& Stranger() const { return m_strStranger; }

    // The command line that runs `argv` as `strUser`, with its groups.
    static std::vector<std::string> As(const std::string& strUser, std::vector<std::string> argv);
    // Runs `argv` as `strUser` to its end; whether it ended with exit code 0.
    static bool RunAs(const std::string& strUser, const std::vector<std::string>& argv);

private:
    void Remove();

    std::string m_strGroup;
    std::string m_strMember;
    std::string m_strStranger;
    bool m_bReady = false;
};

}  // namespace hwtest
