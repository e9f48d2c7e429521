#pragma once
// Policy settings as they pass between the host and the plug-in: typed
// reads with a default, writes, lists of sub-keys and values, and loading
// and saving of settings files, all addressed by a backslash key path and a
// value name.  Reads of a missing value, or of one of another kind, answer
// the default; writes never change a value's kind.  Only MergeFile, Save
// and SaveFile are serialised by the container itself; callers serialise
// the rest.

#include <cstddef>
#include <cstdint>
#include <string>

// Value kinds answered by GetValueType.
enum : int32_t {
    kPolicyValueNone = 0,
    kPolicyValueText = 1,
    kPolicyValueLong = 2,
    kPolicyValueBool = 3,
};

// A list of texts handed out by the container; the receiver owns it and
// frees it, texts included, with Release.
class qorStringVector {
public:
    virtual size_t GetCount() = 0;
    // A copy of the text at `nIndex`, which must be below the count.
    virtual std::string GetItem(size_t nIndex) = 0;
    virtual const std::string* Begin() = 0;
    virtual const std::string* End() = 0;
    virtual void Release() = 0;
    virtual ~qorStringVector() = default;
};

// The list type the container's operations hand out.
class qgStringVector : public qorStringVector {
public:
    ~qgStringVector() override = default;
};

class IPolicyContainer {
public:
    // With an empty name: whether the key exists; else whether the value does.
    virtual bool Exists(const char* pszPath, const char* pszName) = 0;
    // Deletes every sub-key of the key.
    virtual void ClearSection(const char* pszPath) = 0;
    virtual bool HasSubKeys(const char* pszPath) = 0;
    // Always a new list (empty for a missing key) and true, unless the list
    // cannot be made.
    virtual bool GetSubKeyNames(const char* pszPath, qgStringVector** ppNames) = 0;
    // Two new lists: value names and values as text (longs and bools in
    // decimal); false when the key is missing or has no values.
    virtual bool GetValueTexts(const char* pszPath, qgStringVector** ppNames,
                               qgStringVector** ppTexts) = 0;
    virtual bool GetBool(const char* pszPath, const char* pszName, const bool* pDefault) = 0;
    virtual int32_t GetInt(const char* pszPath, const char* pszName, const int32_t* pDefault) = 0;
    virtual uint32_t GetUInt(const char* pszPath, const char* pszName,
                             const uint32_t* pDefault) = 0;
    virtual uint32_t GetULong(const char* pszPath, const char* pszName,
                              const uint32_t* pDefault) = 0;
    virtual int32_t GetLong(const char* pszPath, const char* pszName, const int32_t* pDefault) = 0;
    // The text stays valid until the calling thread's next GetText.
    virtual const char* GetText(const char* pszPath, const char* pszName,
                                const char* pszDefault) = 0;
    // Setters answer 1, or 0 when the value exists with another kind.
    virtual int32_t SetBool(const char* pszPath, const char* pszName, const bool* pValue) = 0;
    virtual int32_t SetInt(const char* pszPath, const char* pszName, const int32_t* pValue) = 0;
    virtual int32_t SetUInt(const char* pszPath, const char* pszName, const uint32_t* pValue) = 0;
    virtual int32_t SetULong(const char* pszPath, const char* pszName, const uint32_t* pValue) = 0;
    virtual int32_t SetLong(const char* pszPath, const char* pszName, const int32_t* pValue) = 0;
    virtual int32_t SetText(const char* pszPath, const char* pszName, const char* pszText) = 0;
    // Adds the values of the file that the container does not hold yet,
    // then saves to the container's file when asked; answers the merge.
    virtual bool MergeFile(const char* pszFileName, bool bSave) = 0;
    virtual bool Save() = 0;
    // 0 when read, 1 on failure.
    virtual int32_t LoadFile(const char* pszFileName, const char* pszSection,
                             const char* pszBasePath, bool bPrefix) = 0;
    // 0 when the file was replaced, 1 on failure (the old file stays).
    virtual int32_t SaveFile(const char* pszFileName, const char* pszKeyPath, int32_t nWord) = 0;
    // Destroys the container (and the store it owns).
    virtual void Release() = 0;
    virtual bool DeleteSubKey(const char* pszPath, const char* pszName) = 0;
    virtual void SetFileName(const char* pszFileName) = 0;
    virtual int32_t GetValueType(const char* pszPath, const char* pszName) = 0;
    virtual ~IPolicyContainer() = default;
};

extern "C" {
// A new container over a new, empty settings store; null when it cannot be
// made.  The caller disposes of it with Release.
using CreatePluginPolicyContainerFunction = IPolicyContainer* (*)();

__attribute__((visibility("default"))) IPolicyContainer* CreatePluginPolicyContainer();
}

// The name a host resolves.
inline constexpr const char kCreatePluginPolicyContainerName[] = "CreatePluginPolicyContainer";
