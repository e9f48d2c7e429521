#include "Common/RuleContainer.h"

#include "Common/Rule.h"

Rule* RuleContainer::Find(const char* pszName) const {
    if (pszName == nullptr) {
        return nullptr;
    }
    for (Rule* pRule : *this) {
        if (pRule != nullptr && pRule->GetName() == pszName) {
            return pRule;
        }
    }
    return nullptr;
}
