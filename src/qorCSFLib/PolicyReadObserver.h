#pragma once
// What a policy container tells an observer about the reads it answers, so
// that a policy load can say which values of the policy no reader asked
// for, and which were asked for as another kind than the file gives them.

#include <string>

// Value kinds as the policy file writes them ("=S", "=L", "=B").
enum : int {
    kPolicyKindNone = 0,  // absent, or an existence test that asks for no kind
    kPolicyKindText = 1,
    kPolicyKindNumber = 2,
    kPolicyKindFlag = 3,
};

// One value as the policy holds it.
struct PolicyStoredValue {
    int m_nKind = kPolicyKindNone;
    // Its text form: the text, the number in decimal, "1" or "0".
    std::string m_strText;
};

class IPolicyReadObserver {
public:
    // A read of one value: the kind asked for, the default the reader
    // gave (as text) and the value found.
    virtual void OnValueRead(const std::string& strPath, const std::string& strName, int nWanted,
                             const std::string& strDefault, const PolicyStoredValue& stored) = 0;
    // Every value of the key was listed: none of them is unknown.
    virtual void OnValuesListed(const std::string& strPath) = 0;
    // The sub-keys of the key were listed: their names are the policy's own.
    virtual void OnSubKeysListed(const std::string& strPath) = 0;

protected:
    ~IPolicyReadObserver() = default;
};
