#pragma once
// The settings store: a tree of keys (ConfigNode.h) addressed by backslash
// paths, with typed values (text, 32-bit long, bool), read from and written
// to the settings text file and exchanged with the platform registry.
//
// A store has no lock; its callers serialise their calls.  Getters never
// fail (a missing value or one of another type gives the default) and
// setters never change a value's type.  File operations leave an error
// class (3 read, 4 write) and a status behind them.

#include <cstdint>
#include <iosfwd>
#include <list>
#include <map>
#include <string>
#include <vector>

#include "platform/Registry.h"
#include "qorToolsLib/ConfigNode.h"
#include "qorToolsLib/qorStatus.h"

struct ConfigValueRecord {
    int nType = 0;         // 1 text, 2 long, 3 bool
    int32_t lNumber = 0;   // the long, or 0 / 1 for a bool
    std::string strText;   // the text
};

using ConfigValueMap = std::map<std::string, ConfigValueRecord>;
using ConfigStringList = std::list<std::string>;

class ConfigStore {
public:
    enum ErrorClass { kNoError = 0, kReadError = 3, kWriteError = 4 };
    // Paths deeper than this are refused; every walk of the tree recurses
    // once per level, and a settings file is outside input.
    static constexpr size_t kMaxKeyDepth = 256;

    ConfigStore();
    ConfigStore(const ConfigStore&) = delete;
    ConfigStore& operator=(const ConfigStore&) = delete;

    virtual ConfigKey* FindKey(const std::string& path);
    virtual ConfigKey* CreateKey(const std::string& path);
    virtual int WriteKey(ConfigNode* key, std::ostream& out, ConfigNode* base);
    virtual bool ReadLine(std::istream& in, std::string& line);
    virtual void TrimLeft(std::string& text);
    virtual void TrimRight(std::string& text);
    virtual void Trim(std::string& text);
    virtual void RemoveChar(std::string& text, char c);
    virtual void StripCarriageReturns(std::string& text);
    virtual void Release();
    virtual ConfigKey* GetRoot();
    virtual void SetRoot(ConfigKey* root);
    virtual ~ConfigStore();
    virtual void SetFileName(const std::string& fileName);
    virtual const std::string& GetFileName() const;
    virtual bool Save();
    virtual bool Reserved();
    virtual void ClearSection(const std::string& path);
    virtual void ClearValues(const std::string& path);
    virtual void SetHeader(const std::string& header);
    virtual const std::string& GetHeader() const;
    virtual int GetErrorClass() const;
    virtual void SetErrorClass(int errorClass);
    virtual StatusCode GetStatus() const;
    virtual void SetStatus(StatusCode status);
    virtual bool GetBool(const std::string& path, const std::string& name, const bool& def);
    virtual int GetInt(const std::string& path, const std::string& name, const int& def);
    virtual unsigned int GetUInt(const std::string& path, const std::string& name,
                                 const unsigned int& def);
    virtual uint32_t GetULong(const std::string& path, const std::string& name,
                              const uint32_t& def);
    virtual int32_t GetLong(const std::string& path, const std::string& name, const int32_t& def);
    virtual std::string GetText(const std::string& path, const std::string& name, const char* def);
    virtual std::string GetString(const std::string& path, const std::string& name,
                                  const std::string& def);
    virtual int SetBool(const std::string& path, const std::string& name, const bool& value);
    virtual int AddKey(const std::string& path);
    virtual int SetInt(const std::string& path, const std::string& name, const int& value);
    virtual int SetUInt(const std::string& path, const std::string& name,
                        const unsigned int& value);
    virtual int SetULong(const std::string& path, const std::string& name, const uint32_t& value);
    virtual int SetLong(const std::string& path, const std::string& name, const int32_t& value);
    virtual int SetText(const std::string& path, const std::string& name, const char* text);
    virtual int SetString(const std::string& path, const std::string& name,
                          const std::string& text);
    virtual bool GetBinary(const std::string& path, const std::string& name,
                           std::vector<uint8_t>& bytes);
    virtual int SetBinary(const std::string& path, const std::string& name, const void* bytes,
                          uint32_t length);
    virtual bool EnsureKey(const std::string& path);
    virtual bool KeyExists(const std::string& path);
    virtual bool HasSubKeys(const std::string& path);
    virtual ConfigStringList* NewSubKeyList(const std::string& path);
    virtual bool GetSubKeyList(const std::string& path, ConfigStringList& names);
    virtual bool GetSubKeyNames(const std::string& path, std::vector<std::string>& names);
    virtual void DeleteSubKeyList(ConfigStringList* list);
    virtual bool GetValueMap(const std::string& path, ConfigValueMap& values, bool clear);
    // The text of the value `name` of `path` as the file read last wrote it,
    // when the blanks around it, which a text does not keep, were dropped;
    // false otherwise.
    bool GetWrittenText(const std::string& path, const std::string& name, std::string& written);
    virtual bool GetValueTexts(const std::string& path, std::vector<std::string>& names,
                               std::vector<std::string>& texts);
    virtual bool DeleteKey(const std::string& path, const std::string& name);
    virtual bool DeleteSubKey(const std::string& path, const std::string& name);
    virtual bool DeleteValue(const std::string& path, const std::string& name);
    virtual bool Exists(const std::string& path, const std::string& name);
    virtual bool RenameKey(const std::string& path, const std::string& newName);
    virtual bool MoveKey(const std::string& sourcePath, const std::string& targetPath);
    virtual bool MergeKey(const std::string& sourcePath, const std::string& targetPath,
                          const bool& duplicate);
    // 0 when the file was read; 1 when it has no name, cannot be opened or
    // cannot be read to its end.
    virtual int32_t LoadFile(const std::string& fileName, const std::string& section,
                             const std::string& basePath, bool prefix);
    // 0 when the file was replaced; 1 otherwise, the old file untouched.
    virtual int32_t SaveFile(const std::string& fileName, const std::string& keyPath,
                             int32_t unused);
    virtual bool UpdateFromFile(const std::string& fileName, const std::string& section,
                                const std::string& basePath);
    virtual bool Sort(const std::string& path, const std::string& name);
    virtual int GetValueType(const std::string& path, const std::string& name);
    virtual std::string DumpKey(const std::string& path, bool withValues, bool recursive);
    virtual std::string DumpValue(const std::string& path, const std::string& name);
    virtual bool CopyKeyTo(const std::string& path, ConfigStore& target);
    // Registry results are the registry's error numbers (0 success).
    virtual int32_t ImportRegistry(plat::RegistryKey parent, const std::string& subKey,
                                   const std::string& path);
    virtual int32_t ExportToRegistry(plat::RegistryKey parent, const std::string& path,
                                     int usePath);
    virtual int32_t ExportKeyToRegistry(plat::RegistryKey parent, ConfigNode* key);
    virtual std::string GetSystemErrorText(uint32_t code);

    // Strict reading, for files that are taken whole or not at all (the
    // policies): LoadFile and UpdateFromFile first check that the file
    // parses whole (plat::CheckSettingsText) and, when it does not, change
    // nothing, answer failure with error class 3 and QOR_E_INVALID_DATA, and
    // keep the reason.  A strictly read file is also bounded: one larger
    // than kStrictFileCap bytes is refused the same way, and no more than
    // one byte past the cap is ever read.  Other readers stay lenient,
    // skipping what they cannot read.
    static constexpr uint64_t kStrictFileCap = 4u << 20;
    // The reason given for a file past the cap.
    static std::string OverCapProblem();
    void SetStrictReading(bool bStrict) { m_bStrictReading = bStrict; }
    bool IsStrictReading() const { return m_bStrictReading; }
    // Why the last LoadFile or UpdateFromFile failed ("line N: reason" for
    // a refused file); empty after a read that succeeded.
    const std::string& GetReadProblem() const { return m_strReadProblem; }
    // Why the last SaveFile failed (a refused file says why it was
    // refused, see plat::OpenOwnFile); empty after a save that succeeded.
    const std::string& GetWriteProblem() const { return m_strWriteProblem; }

    // A section the last LoadFile or UpdateFromFile read found given again
    // in the same file: the key's path and the lines of its first and of
    // this section line.  The second section's values are read into the
    // same key, so a value named in both takes the later one (a load) or
    // keeps the earlier one (an update, which adds only what is missing).
    struct RepeatedSection {
        std::string m_strPath;
        size_t m_nFirstLine = 0;
        size_t m_nLine = 0;
        bool operator==(const RepeatedSection& other) const = default;
    };
    // At most kMaxRepeatedSections are kept for one file; the count of
    // those past it is kept besides.
    static constexpr size_t kMaxRepeatedSections = 20;
    const std::vector<RepeatedSection>& GetRepeatedSections() const { return m_repeatedSections; }
    size_t GetRepeatedSectionsLeftOut() const { return m_nRepeatedLeftOut; }
    // The last read's repeated sections as said to whoever wrote the file,
    // which is called `file`: one line each ("F line N: the section [K] is
    // given a second time (first at line M): ..."), and one counting those
    // past the bound.  `bMerged`: the file was read by UpdateFromFile.
    std::vector<std::string> DescribeRepeatedSections(const std::string& file, bool bMerged) const;
    // A key path as the store names its key: "\" first and last.
    static std::string KeyPathOf(const std::string& path);

private:
    class FileReader;

    ConfigValue* FindTypedValue(const std::string& path, const std::string& name, int type);
    template <typename Assign>
    int SetTyped(const std::string& path, const std::string& name, int type, Assign assign);
    // The setters' rule on a key already found: a new value is appended, one
    // of the same type takes the datum, one of another type is left alone.
    template <typename Assign>
    static int SetOnKey(ConfigKey* key, const std::string& name, int type, Assign assign) {
        if (key == nullptr) {
            return 0;
        }
        auto* value = static_cast<ConfigValue*>(key->FindValue(name));
        if (value == nullptr) {
            value = new ConfigValue();
            value->SetName(name);
            assign(*value);
            key->AddValue(value);
            return 1;
        }
        if (value->GetType() != type) {
            return 0;
        }
        assign(*value);
        return 1;
    }
    ConfigNode* KeyOrRoot(const std::string& path);
    // Source and target of a move or merge, or false when either is
    // missing, the source is the root or the target lies inside it.
    bool MovableKeys(const std::string& sourcePath, const std::string& targetPath,
                     ConfigNode** source, ConfigNode** target);
    void DetachAndDelete(ConfigNode* key);
    void ReadTextFile(const std::string& fileName, int32_t* result, bool update,
                      const std::string& section, const std::string& basePath, bool prefix);
    void ImportValues(plat::RegistryKey key, const std::string& path);
    void ImportSubKeys(plat::RegistryKey key, const std::string& path);
    int32_t ExportKey(plat::RegistryKey parent, ConfigNode* key);

    ConfigKey* m_pRoot;
    std::string m_strFileName;
    std::string m_strHeader;
    int m_nErrorClass = kNoError;
    StatusCode m_status = QOR_S_OK;
    bool m_bStrictReading = false;
    std::string m_strReadProblem;
    std::string m_strWriteProblem;
    std::vector<RepeatedSection> m_repeatedSections;
    size_t m_nRepeatedLeftOut = 0;
};
