#pragma once
// A name and a value, both text.  Rules keep their information pairs in
// lists of them, and alert records their information pairs and the
// variables handed to a rule's script.

#include <string>
#include <vector>

struct InfoPair {
    std::string m_strName;
    std::string m_strValue;
};

// Pairs in the order they were added; names may repeat.
using InfoPairList = std::vector<InfoPair>;
