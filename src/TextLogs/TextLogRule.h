#pragma once
// The rules of the "SysLog Rules" tables: a text-log rule matches a log line
// with one expression and names the log groups whose files it watches; a
// syslog rule matches the text of a received datagram and belongs to the
// default group only, which is never one of the text-log engine's groups.

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "Common/Rule.h"
#include "qorToolsLib/RegularExpression.h"

// The one group of every syslog rule.
inline constexpr const char kDefaultLogGroupName[] = "_QorDefaultLogGroupName";

class CTextLogRule : public Rule {
public:
    CTextLogRule();
    CTextLogRule(const CTextLogRule& other);
    ~CTextLogRule() override;

    using Rule::operator=;
    // Rule part, group list and a recompiled copy of the expression.
    virtual CTextLogRule& operator=(const CTextLogRule& other);
    // A CTextLogRule with the same values, whatever the rule's own class.
    Rule* Clone() const override;
    bool IsRule() const override { return true; }

    // True without an expression; otherwise the expression's verdict, with
    // its ignore-case and except flags.  A pattern that did not compile
    // matches nothing, except or not.
    virtual bool IsMatch(std::string_view text) const;
    virtual void AddLogGroup(std::string strName);
    virtual void AddDefaultLogGroup();

    // Compiles the pattern into the rule's expression (made on first use);
    // true when it compiled.
    bool SetExpression(const char* pszPattern, bool bIgnoreCase, bool bExcept);

    const RegularExpression* GetExpression() const { return m_pRegExp.get(); }
    const std::vector<std::string>& GetLogGroups() const { return m_LogGroups; }

private:
    std::unique_ptr<RegularExpression> m_pRegExp;
    std::vector<std::string> m_LogGroups;
};

class CNTSyslogRule : public CTextLogRule {
public:
    CNTSyslogRule() = default;
    ~CNTSyslogRule() override;

    // Refused with a line on standard error: the default group is implied.
    void AddLogGroup(std::string strName) override;
};
