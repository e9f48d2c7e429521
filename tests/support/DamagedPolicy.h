#pragma once
// The ways a policy file arrives damaged, made from a whole one: cut short
// inside a value, cut inside a section line, cut inside its last line end,
// a number or flag that lost its ";" in the middle (when there is one),
// binary content, an empty file.

#include <string>
#include <vector>

namespace hwtest {

struct DamagedFile {
    const char* m_pszKind;
    std::string m_strBytes;
};

std::vector<DamagedFile> DamagedVariants(const std::string& whole);

}  // namespace hwtest
