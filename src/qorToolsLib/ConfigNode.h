#pragma once
// The settings tree: keys holding ordered sub-keys and ordered typed values,
// with one ordered index from full path ("\a\b\") to key shared by every
// key of a tree, so keys are found by path without walking the tree.
//
// Nodes own their sub-keys and values through raw pointers, because the
// tree's operations hand nodes in and out without deleting them
// (RemoveChild, ClearChildren, SetChildren); the destructor of a key
// deletes what is still attached.

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <map>
#include <memory>
#include <string>
#include <vector>

class ConfigNode;
class ConfigValue;

// Nodes are added at the front only rarely; a vector keeps the common
// append and the walks cheap where a deque would allocate per node.
using ConfigNodeList = std::vector<ConfigNode*>;
using ConfigPathIndex = std::map<std::string, ConfigNode*>;

class ConfigNode {
public:
    enum Kind { kOrdinary = 0, kRoot = 1 };
    // The dump indents two spaces per level, at most this many levels.
    static constexpr int kMaxDumpIndentLevels = 14;

    explicit ConfigNode(int kind = kOrdinary, bool ignoreCase = false);
    ConfigNode(const ConfigNode&) = delete;
    ConfigNode& operator=(const ConfigNode&) = delete;

    virtual ~ConfigNode();
    virtual const std::string& GetName() const;
    virtual void SetName(const std::string& name);
    virtual const std::string& GetLabel() const;
    virtual void SetLabel(const std::string& label);
    virtual const std::string& GetPathText() const;
    virtual void SetPathText(const std::string& text);
    virtual void UpdatePathText(bool recursive);
    virtual void Reindex(bool recursive);
    virtual uint32_t GetUserWord1() const;
    virtual void SetUserWord1(uint32_t word);
    virtual uint32_t GetUserWord2() const;
    virtual void SetUserWord2(uint32_t word);
    virtual void SetValueFlag(uint32_t flag);
    virtual uint32_t GetValueFlag() const;
    virtual void SetNote(const std::string& note);
    virtual const char* GetNote() const;
    virtual ConfigNode* GetParent() const;
    virtual void SetParent(ConfigNode* parent);
    virtual int GetDepth() const;
    virtual int GetChildLevel() const;
    virtual void SetChildLevel(int level);
    virtual void SetBase(ConfigNode* base);
    virtual ConfigNode* GetBase() const;
    virtual void ClearBase();
    virtual void InsertChild(ConfigNode* node, size_t position);
    virtual void AddChild(ConfigNode* node, bool atFront = false);
    virtual bool RemoveChild(ConfigNode* node);
    virtual bool EraseChild(ConfigNode* node);
    virtual void CopyContents(const ConfigNode* node);
    virtual bool HasChildren() const;
    virtual void ClearChildren();
    virtual void InsertParentLevel(ConfigNode* node);
    virtual void SetChildren(const ConfigNodeList& list);
    virtual void CopyChildren(const ConfigNodeList& list, const std::string& excludeName);
    virtual const ConfigNodeList& GetChildren() const;
    virtual ConfigNode* FindByName(const std::string& name, size_t* position);
    virtual ConfigNode* FindRelative(const std::string& path);
    virtual ConfigNode* FindNode(const std::string& path);
    virtual ConfigNode* FindMatchingChild(const std::string& text, size_t* position);
    virtual void AddValue(ConfigNode* value, bool atFront = false);
    virtual void RemoveValue(ConfigNode* value);
    virtual bool EraseValue(ConfigNode* value);
    // By name: the first of this key's values whose name matches `pattern`
    // (a "*" or, without one, a "?" ends the part that must match).  By
    // text: the first text value, named `nameFilter` unless that is empty,
    // whose stored text (cut at `delimiter` when not 0) matches `pattern`
    // the same way with the roles swapped.  Recursive searches go on into
    // the sub-keys in order.
    virtual ConfigNode* FindValue(const std::string& pattern, size_t* position = nullptr,
                                  bool byText = false, bool recursive = false,
                                  char delimiter = 0, const std::string& nameFilter = {});
    virtual void SetValues(const ConfigNodeList& list);
    virtual void CopyValues(const ConfigNodeList& list, const std::string& excludeName,
                            const bool& duplicate);
    virtual const ConfigNodeList& GetValues() const;
    virtual bool HasValues() const;
    virtual void ClearValues();
    virtual bool IsValue() const;
    virtual std::string GetFullPath() const;
    virtual std::string GetNameWithSeparator() const;
    virtual const std::string& GetIndexKey() const;
    virtual void SetIndexKey(const std::string& key);
    virtual ConfigPathIndex* GetIndex() const;
    virtual void SetIndex(std::shared_ptr<ConfigPathIndex> index);
    // Writes the section line and, as asked, the value lines and the
    // sub-keys: appended to `text` when it is not null, else to `out`.
    virtual void Dump(bool withValues, bool indent, std::ostream* out, std::string* text,
                      bool recursive);
    virtual bool DumpToFile(const std::string& fileName, bool withValues, bool indent,
                            const std::string& title, bool recursive);
    virtual void DumpToText(std::string& out, bool withValues, bool indent,
                            const std::string& title, bool recursive);
    virtual void DumpValues(bool indent, std::ostream* out, std::string* text);
    virtual bool DumpIndex(const std::string& fileName);
    virtual void CreateIndex(ConfigNode* node);
    virtual void AddToIndex(ConfigNode* node);
    virtual void RemoveFromIndex(ConfigNode* node);

    // Copies everything but the parent from `source`; values always, the
    // sub-keys (but those named `excludeName`) when deep.  Every copied key
    // is indexed under its final path.
    void CopyFrom(const ConfigNode& source, bool deep, const std::string& excludeName);

    // The path of this node as seen from `base`: "\" for the base itself,
    // relative without a leading backslash below it, absolute otherwise.
    std::string PathFrom(const ConfigNode* base) const;

    bool IsLeaf() const { return m_bLeaf; }
    bool IgnoresCase() const { return m_bIgnoreCase; }

protected:
    // Orders values and sub-keys by name, ASCII case ignored, all the way down.
    void SortTree();

    std::string m_strName;
    std::string m_strLabel;
    std::string m_strPathText;
    bool m_bLeaf = true;
    ConfigNodeList m_subKeys;
    ConfigNodeList m_values;
    ConfigNode* m_pParent = nullptr;
    uint32_t m_dwValueFlag = 0;
    std::string m_strNote;
    uint32_t m_dwUser1 = 0;
    uint32_t m_dwUser2 = 0;
    int m_nChildLevel = 0;
    ConfigNode* m_pBase = nullptr;
    std::shared_ptr<ConfigPathIndex> m_pIndex;
    std::string m_strIndexKey;
    // Kept and copied; every tree of the system compares names with case.
    bool m_bIgnoreCase = false;

private:
    void AttachToIndex(ConfigNode* node);
    bool DetachChild(ConfigNode* node, bool everyEntry);
    void IndexSubtree(ConfigNode* node);
    void UnindexSubtree(ConfigNode* node);
    void Emit(const std::string& line, std::ostream* out, std::string* text) const;
};

class ConfigKey : public ConfigNode {
public:
    explicit ConfigKey(int kind = kOrdinary, bool ignoreCase = false);
    ~ConfigKey() override;

    const std::string& GetName() const override;
    void SetName(const std::string& name) override;
    virtual void Sort();
    // "[" full path "];" and a line feed.
    virtual std::string GetSectionLine() const;
};

class ConfigValue : public ConfigNode {
public:
    enum Type { kUnset = 0, kText = 1, kLong = 2, kBool = 3, kPointer = 4 };

    ConfigValue();
    ~ConfigValue() override;

    bool HasChildren() const override;
    bool HasValues() const override;
    bool IsValue() const override;

    void SetName(const std::string& name) override;
    const std::string& GetName() const override;
    virtual int GetType() const;
    virtual void SetType(int type);
    virtual void SetPointer(void* pointer);
    virtual void SetBool(const bool& value);
    virtual void SetString(const std::string& text);
    virtual void SetText(const char* text);
    virtual void SetLong(const int32_t& value);
    // The getters copy their datum whatever the type; callers test it first.
    virtual void GetPointer(void*& pointer) const;
    virtual void GetBool(bool& value) const;
    virtual void GetString(std::string& text) const;
    virtual void GetLong(int32_t& value) const;
    // The value's settings line appended to `out`: name, TAB, "=", the type
    // letter, TAB, the datum (";" doubled), ";".  Unset and pointer values
    // give only the name, a TAB and ";".
    virtual void GetLineText(std::string& out, bool leadingTab, bool lineFeed) const;

    // Direct reads for the store's hot paths.
    const std::string& Text() const { return m_strText; }
    int32_t Long() const { return m_lValue; }
    bool Bool() const { return m_bValue; }
    void* Pointer() const { return m_pValue; }

    // Takes the datum from `source` when it has this value's type.
    void AssignDatumFrom(const ConfigValue& source);
    // Takes name, all four data and the type from `source`.
    void CopyValueFrom(const ConfigValue& source);

private:
    int m_nType = kUnset;
    std::string m_strText;
    int32_t m_lValue = 0;
    bool m_bValue = false;
    void* m_pValue = nullptr;
};
