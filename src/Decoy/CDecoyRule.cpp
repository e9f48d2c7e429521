#include "Decoy/CDecoyRule.h"

#include <new>

CDecoyRule::~CDecoyRule() = default;

Rule* CDecoyRule::Clone() const {
    return new (std::nothrow) CDecoyRule(*this);
}

CDecoyRule& CDecoyRule::operator=(const CDecoyRule& other) {
    if (this != &other) {
        Rule::operator=(other);
        m_wPort = other.m_wPort;
    }
    return *this;
}
