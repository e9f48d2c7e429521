#include "TextLogs/TextLogRule.h"

#include <new>
#include <utility>

#include "platform/Console.h"

CTextLogRule::CTextLogRule() = default;

CTextLogRule::CTextLogRule(const CTextLogRule& other) : Rule(other), m_LogGroups(other.m_LogGroups) {
    if (other.m_pRegExp) {
        m_pRegExp = std::make_unique<RegularExpression>(*other.m_pRegExp);
    }
}

CTextLogRule::~CTextLogRule() {
    m_LogGroups.clear();
    m_pRegExp.reset();
}

CTextLogRule& CTextLogRule::operator=(const CTextLogRule& other) {
    if (this == &other) {
        return *this;
    }
    Rule::operator=(other);
    m_LogGroups = other.m_LogGroups;
    m_pRegExp.reset();
    if (other.m_pRegExp) {
        m_pRegExp = std::make_unique<RegularExpression>(*other.m_pRegExp);
    }
    return *this;
}

Rule* CTextLogRule::Clone() const {
    return new (std::nothrow) CTextLogRule(*this);
}

bool CTextLogRule::IsMatch(std::string_view text) const {
    if (!m_pRegExp) {
        return true;
    }
    return m_pRegExp->Match(text) != 0;
}

void CTextLogRule::AddLogGroup(std::string strName) {
    m_LogGroups.push_back(std::move(strName));
}

void CTextLogRule::AddDefaultLogGroup() {
    m_LogGroups.emplace_back(kDefaultLogGroupName);
}

bool CTextLogRule::SetExpression(const char* pszPattern, bool bIgnoreCase, bool bExcept) {
    if (!m_pRegExp) {
        m_pRegExp = std::make_unique<RegularExpression>(pszPattern, bIgnoreCase, bExcept);
    } else {
        m_pRegExp->Compile(pszPattern, bIgnoreCase, bExcept);
    }
    return m_pRegExp->IsCompiled();
}

CNTSyslogRule::~CNTSyslogRule() = default;

void CNTSyslogRule::AddLogGroup(std::string /*strName*/) {
    plat::ConsoleWrite("NtSyslogRule can only belong to default group\n");
}
