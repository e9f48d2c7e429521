#include "IDS/PolicyValues.h"

#include <algorithm>

#include "hostwarden/IPolicyContainer.h"

namespace {

struct ListGuard {
    qgStringVector* m_pList = nullptr;
    ~ListGuard() {
        if (m_pList != nullptr) {
            m_pList->Release();
        }
    }
};

}  // namespace

PolicyValueList ListPolicyValues(IPolicyContainer* pPolicy, const char* pszPath) {
    PolicyValueList values;
    ListGuard names;
    ListGuard texts;
    if (pPolicy == nullptr || !pPolicy->GetValueTexts(pszPath, &names.m_pList, &texts.m_pList) ||
        names.m_pList == nullptr || texts.m_pList == nullptr) {
        return values;
    }
    const size_t nCount = std::min(names.m_pList->GetCount(), texts.m_pList->GetCount());
    values.reserve(nCount);
    for (size_t i = 0; i < nCount; ++i) {
        values.emplace_back(names.m_pList->GetItem(i), texts.m_pList->GetItem(i));
    }
    return values;
}
