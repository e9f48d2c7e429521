#include "qorCSFLib/PluginPolicyContainer.h"

#include <new>

#include "qorToolsLib/ConfigNode.h"
#include "qorToolsLib/jsFastLock.h"

namespace {

std::string Text(const char* text) { return text != nullptr ? text : ""; }

template <typename Value>
Value Or(const Value* given, Value otherwise) {
    return given != nullptr ? *given : otherwise;
}

}  // namespace

extern "C" IPolicyContainer* CreatePluginPolicyContainer() {
    auto* store = new (std::nothrow) ConfigStore();
    auto* container = new (std::nothrow) PluginPolicyContainer(store, true);
    if (container == nullptr) {
        delete store;
    }
    return container;
}

PluginPolicyContainer::PluginPolicyContainer(ConfigStore* pStore, bool bOwnsStore)
    : m_pStore(pStore), m_bOwnsStore(bOwnsStore ? 1 : 0), m_lock(false) {}

PluginPolicyContainer::~PluginPolicyContainer() {
    if (m_bOwnsStore != 0) {
        delete m_pStore;
    }
}

void PluginPolicyContainer::Observe(const char* pszPath, const char* pszName, int nWanted,
                                    const std::string& strDefault) {
    IPolicyReadObserver* pObserver = m_pObserver.load();
    if (pObserver == nullptr || m_pStore == nullptr) {
        return;
    }
    try {
        PolicyStoredValue stored;
        const std::string strPath = Text(pszPath);
        const std::string strName = Text(pszName);
        ConfigKey* pKey = m_pStore->FindKey(strPath);
        auto* pValue = pKey != nullptr ? static_cast<ConfigValue*>(pKey->FindValue(strName)) : nullptr;
        if (pValue != nullptr) {
            stored.m_nKind = pValue->GetType();
            switch (stored.m_nKind) {
                case ConfigValue::kText:
                    stored.m_strText = pValue->Text();
                    break;
                case ConfigValue::kLong:
                    stored.m_strText = std::to_string(pValue->Long());
                    break;
                case ConfigValue::kBool:
                    stored.m_strText = pValue->Bool() ? "1" : "0";
                    break;
                default:
                    stored.m_nKind = kPolicyKindNone;
                    break;
            }
        }
        pObserver->OnValueRead(strPath, strName, nWanted, strDefault, stored);
    } catch (...) {
        // An observer only watches: the read goes on without it.
    }
}

template <typename Result, typename Call>
Result PluginPolicyContainer::Guarded(Result fallback, Call call) {
    if (m_pStore == nullptr) {
        return fallback;
    }
    try {
        return call(*m_pStore);
    } catch (...) {
        return fallback;
    }
}

bool PluginPolicyContainer::Exists(const char* pszPath, const char* pszName) {
    if (pszName != nullptr && *pszName != '\0') {
        Observe(pszPath, pszName, kPolicyKindNone, std::string());
    }
    return Guarded(false, [&](ConfigStore& s) { return s.Exists(Text(pszPath), Text(pszName)); });
}

void PluginPolicyContainer::ClearSection(const char* pszPath) {
    Guarded(0, [&](ConfigStore& s) {
        s.ClearSection(Text(pszPath));
        return 0;
    });
}

bool PluginPolicyContainer::HasSubKeys(const char* pszPath) {
    return Guarded(false, [&](ConfigStore& s) { return s.HasSubKeys(Text(pszPath)); });
}

bool PluginPolicyContainer::GetSubKeyNames(const char* pszPath, qgStringVector** ppNames) {
    if (ppNames == nullptr) {
        return false;
    }
    *ppNames = nullptr;
    if (IPolicyReadObserver* pObserver = m_pObserver.load()) {
        pObserver->OnSubKeysListed(Text(pszPath));
    }
    try {
        std::vector<std::string> names;
        if (m_pStore != nullptr) {
            m_pStore->GetSubKeyNames(Text(pszPath), names);
        }
        *ppNames = new PluginStringVector(std::move(names));
        return true;
    } catch (...) {
        return false;
    }
}

bool PluginPolicyContainer::GetValueTexts(const char* pszPath, qgStringVector** ppNames,
                                          qgStringVector** ppTexts) {
    if (ppNames == nullptr || ppTexts == nullptr) {
        return false;
    }
    *ppNames = nullptr;
    *ppTexts = nullptr;
    if (IPolicyReadObserver* pObserver = m_pObserver.load()) {
        pObserver->OnValuesListed(Text(pszPath));
    }
    try {
        std::vector<std::string> names;
        std::vector<std::string> texts;
        bool found = m_pStore != nullptr && m_pStore->GetValueTexts(Text(pszPath), names, texts);
        auto* nameList = new PluginStringVector(std::move(names));
        try {
            *ppTexts = new PluginStringVector(std::move(texts));
        } catch (...) {
            delete nameList;
            throw;
        }
        *ppNames = nameList;
        return found;
    } catch (...) {
        return false;
    }
}

bool PluginPolicyContainer::GetBool(const char* pszPath, const char* pszName,
                                    const bool* pDefault) {
    bool def = Or(pDefault, false);
    if (Observed()) {
        Observe(pszPath, pszName, kPolicyKindFlag, def ? "1" : "0");
    }
    return Guarded(def, [&](ConfigStore& s) { return s.GetBool(Text(pszPath), Text(pszName), def); });
}

int32_t PluginPolicyContainer::GetInt(const char* pszPath, const char* pszName,
                                      const int32_t* pDefault) {
    int def = Or(pDefault, 0);
    if (Observed()) {
        Observe(pszPath, pszName, kPolicyKindNumber, std::to_string(def));
    }
    return Guarded(def, [&](ConfigStore& s) { return s.GetInt(Text(pszPath), Text(pszName), def); });
}

uint32_t PluginPolicyContainer::GetUInt(const char* pszPath, const char* pszName,
                                        const uint32_t* pDefault) {
    unsigned int def = Or(pDefault, 0u);
    if (Observed()) {
        Observe(pszPath, pszName, kPolicyKindNumber, std::to_string(def));
    }
    return Guarded(def,
                   [&](ConfigStore& s) { return s.GetUInt(Text(pszPath), Text(pszName), def); });
}

uint32_t PluginPolicyContainer::GetULong(const char* pszPath, const char* pszName,
                                         const uint32_t* pDefault) {
    uint32_t def = Or(pDefault, 0u);
    if (Observed()) {
        Observe(pszPath, pszName, kPolicyKindNumber, std::to_string(def));
    }
    return Guarded(def,
                   [&](ConfigStore& s) { return s.GetULong(Text(pszPath), Text(pszName), def); });
}

int32_t PluginPolicyContainer::GetLong(const char* pszPath, const char* pszName,
                                       const int32_t* pDefault) {
    int32_t def = Or(pDefault, 0);
    if (Observed()) {
        Observe(pszPath, pszName, kPolicyKindNumber, std::to_string(def));
    }
    return Guarded(def,
                   [&](ConfigStore& s) { return s.GetLong(Text(pszPath), Text(pszName), def); });
}

// One buffer per thread: the text stays valid until the same thread asks
// again, and engines reading the policy at once never see each other's.
const char* PluginPolicyContainer::GetText(const char* pszPath, const char* pszName,
                                           const char* pszDefault) {
    thread_local std::string t_text;
    if (Observed()) {
        Observe(pszPath, pszName, kPolicyKindText, Text(pszDefault));
    }
    try {
        t_text = m_pStore != nullptr ? m_pStore->GetText(Text(pszPath), Text(pszName), pszDefault)
                                     : Text(pszDefault);
    } catch (...) {
        t_text.clear();
    }
    return t_text.c_str();
}

int32_t PluginPolicyContainer::SetBool(const char* pszPath, const char* pszName,
                                       const bool* pValue) {
    return Guarded(0, [&](ConfigStore& s) {
        return pValue != nullptr ? s.SetBool(Text(pszPath), Text(pszName), *pValue) : 0;
    });
}

int32_t PluginPolicyContainer::SetInt(const char* pszPath, const char* pszName,
                                      const int32_t* pValue) {
    return Guarded(0, [&](ConfigStore& s) {
        return pValue != nullptr ? s.SetInt(Text(pszPath), Text(pszName), *pValue) : 0;
    });
}

int32_t PluginPolicyContainer::SetUInt(const char* pszPath, const char* pszName,
                                       const uint32_t* pValue) {
    return Guarded(0, [&](ConfigStore& s) {
        return pValue != nullptr ? s.SetUInt(Text(pszPath), Text(pszName), *pValue) : 0;
    });
}

int32_t PluginPolicyContainer::SetULong(const char* pszPath, const char* pszName,
                                        const uint32_t* pValue) {
    return Guarded(0, [&](ConfigStore& s) {
        return pValue != nullptr ? s.SetULong(Text(pszPath), Text(pszName), *pValue) : 0;
    });
}

int32_t PluginPolicyContainer::SetLong(const char* pszPath, const char* pszName,
                                       const int32_t* pValue) {
    return Guarded(0, [&](ConfigStore& s) {
        return pValue != nullptr ? s.SetLong(Text(pszPath), Text(pszName), *pValue) : 0;
    });
}

int32_t PluginPolicyContainer::SetText(const char* pszPath, const char* pszName,
                                       const char* pszText) {
    return Guarded(0, [&](ConfigStore& s) {
        return s.SetText(Text(pszPath), Text(pszName), pszText);
    });
}

bool PluginPolicyContainer::MergeFile(const char* pszFileName, bool bSave) {
    qorFastLock guard(m_lock, true);
    return Guarded(false, [&](ConfigStore& s) {
        bool merged = s.UpdateFromFile(Text(pszFileName), std::string(), std::string());
        if (bSave) {
            s.Save();
        }
        return merged;
    });
}

bool PluginPolicyContainer::Save() {
    qorFastLock guard(m_lock, true);
    Guarded(false, [](ConfigStore& s) { return s.Save(); });
    return true;
}

int32_t PluginPolicyContainer::LoadFile(const char* pszFileName, const char* pszSection,
                                        const char* pszBasePath, bool bPrefix) {
    return Guarded(1, [&](ConfigStore& s) {
        return s.LoadFile(Text(pszFileName), Text(pszSection), Text(pszBasePath), bPrefix);
    });
}

int32_t PluginPolicyContainer::SaveFile(const char* pszFileName, const char* pszKeyPath,
                                        int32_t nWord) {
    qorFastLock guard(m_lock, true);
    return Guarded(1, [&](ConfigStore& s) {
        return s.SaveFile(Text(pszFileName), Text(pszKeyPath), nWord);
    });
}

void PluginPolicyContainer::Release() { delete this; }

void PluginPolicyContainer::SetStrictReading(bool bStrict) {
    qorFastLock guard(m_lock, true);
    if (m_pStore != nullptr) {
        m_pStore->SetStrictReading(bStrict);
    }
}

std::string PluginPolicyContainer::GetReadProblem() {
    qorFastLock guard(m_lock, true);
    return Guarded(std::string("no settings store"),
                   [](ConfigStore& s) { return s.GetReadProblem(); });
}

std::string PluginPolicyContainer::GetWriteProblem() {
    qorFastLock guard(m_lock, true);
    return Guarded(std::string("no settings store"),
                   [](ConfigStore& s) { return s.GetWriteProblem(); });
}

bool PluginPolicyContainer::DeleteSubKey(const char* pszPath, const char* pszName) {
    return Guarded(false,
                   [&](ConfigStore& s) { return s.DeleteSubKey(Text(pszPath), Text(pszName)); });
}

void PluginPolicyContainer::SetFileName(const char* pszFileName) {
    Guarded(0, [&](ConfigStore& s) {
        s.SetFileName(Text(pszFileName));
        return 0;
    });
}

int32_t PluginPolicyContainer::GetValueType(const char* pszPath, const char* pszName) {
    return Guarded(0,
                   [&](ConfigStore& s) { return s.GetValueType(Text(pszPath), Text(pszName)); });
}
