#pragma once
// The policy container the plug-in hands out: IPolicyContainer over a
// settings store.  Every operation turns its text arguments into strings
// and calls the store operation of the same meaning; nothing thrown inside
// crosses back to the caller, which gets the default or a failure instead.

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "hostwarden/IPolicyContainer.h"
#include "qorCSFLib/PolicyReadObserver.h"
#include "qorToolsLib/ConfigStore.h"
#include "qorToolsLib/jsSync.h"

// The lists of texts the container hands out.
class PluginStringVector final : public qgStringVector {
public:
    explicit PluginStringVector(std::vector<std::string> items) : m_items(std::move(items)) {}

    size_t GetCount() override { return m_items.size(); }
    // An index past the end gives an empty text: nothing thrown reaches the host.
    std::string GetItem(size_t nIndex) override {
        return nIndex < m_items.size() ? m_items[nIndex] : std::string();
    }
    const std::string* Begin() override { return m_items.data(); }
    const std::string* End() override { return m_items.data() + m_items.size(); }
    void Release() override { delete this; }
    ~PluginStringVector() override = default;

private:
    std::vector<std::string> m_items;
};

class PluginPolicyContainer : public IPolicyContainer {
public:
    // With `bOwnsStore` the container deletes the store with itself; a null
    // store makes every read answer its default and every write fail.
    PluginPolicyContainer(ConfigStore* pStore, bool bOwnsStore);
    PluginPolicyContainer(const PluginPolicyContainer&) = delete;
    PluginPolicyContainer& operator=(const PluginPolicyContainer&) = delete;

    bool Exists(const char* pszPath, const char* pszName) override;
    void ClearSection(const char* pszPath) override;
    bool HasSubKeys(const char* pszPath) override;
    bool GetSubKeyNames(const char* pszPath, qgStringVector** ppNames) override;
    bool GetValueTexts(const char* pszPath, qgStringVector** ppNames,
                       qgStringVector** ppTexts) override;
    bool GetBool(const char* pszPath, const char* pszName, const bool* pDefault) override;
    int32_t GetInt(const char* pszPath, const char* pszName, const int32_t* pDefault) override;
    uint32_t GetUInt(const char* pszPath, const char* pszName, const uint32_t* pDefault) override;
    uint32_t GetULong(const char* pszPath, const char* pszName, const uint32_t* pDefault) override;
    int32_t GetLong(const char* pszPath, const char* pszName, const int32_t* pDefault) override;
    const char* GetText(const char* pszPath, const char* pszName, const char* pszDefault) override;
    int32_t SetBool(const char* pszPath, const char* pszName, const bool* pValue) override;
    int32_t SetInt(const char* pszPath, const char* pszName, const int32_t* pValue) override;
    int32_t SetUInt(const char* pszPath, const char* pszName, const uint32_t* pValue) override;
    int32_t SetULong(const char* pszPath, const char* pszName, const uint32_t* pValue) override;
    int32_t SetLong(const char* pszPath, const char* pszName, const int32_t* pValue) override;
    int32_t SetText(const char* pszPath, const char* pszName, const char* pszText) override;
    bool MergeFile(const char* pszFileName, bool bSave) override;
    bool Save() override;
    int32_t LoadFile(const char* pszFileName, const char* pszSection, const char* pszBasePath,
                     bool bPrefix) override;
    int32_t SaveFile(const char* pszFileName, const char* pszKeyPath, int32_t nWord) override;
    void Release() override;
    bool DeleteSubKey(const char* pszPath, const char* pszName) override;
    void SetFileName(const char* pszFileName) override;
    int32_t GetValueType(const char* pszPath, const char* pszName) override;
    ~PluginPolicyContainer() override;

    ConfigStore* GetStore() const { return m_pStore; }
    // Makes LoadFile and MergeFile take a file whole or not at all (see
    // ConfigStore::SetStrictReading); the policies are read so.
    void SetStrictReading(bool bStrict);
    // Why the last LoadFile or MergeFile failed; empty after a success.
    std::string GetReadProblem();
    // Why the last SaveFile failed; empty after a success.
    std::string GetWriteProblem();
    // While set, every typed read, value listing and sub-key listing is told
    // to the observer (null stops it).  The observer must outlive its use.
    void SetReadObserver(IPolicyReadObserver* pObserver) { m_pObserver.store(pObserver); }

private:
    bool Observed() const { return m_pObserver.load(std::memory_order_relaxed) != nullptr; }
    // Tells the observer, if any, of one read and of the value it found.
    void Observe(const char* pszPath, const char* pszName, int nWanted,
                 const std::string& strDefault);
    // Runs `call` on the store, answering `fallback` when there is no store
    // or the call throws.
    template <typename Result, typename Call>
    Result Guarded(Result fallback, Call call);

    ConfigStore* m_pStore;
    std::atomic<IPolicyReadObserver*> m_pObserver{nullptr};
    uint8_t m_bOwnsStore;
    qorFastSync m_lock;
};
