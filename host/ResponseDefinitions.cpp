#include "ResponseDefinitions.h"

#include <vector>

#include "hostwarden/ICSFHostServices.h"
#include "hostwarden/IPolicyContainer.h"
#include "qorToolsLib/AddressList.h"

namespace {

constexpr char kResponseRoot[] = "\\Response\\";

// The names of the definitions of one kind, each with its key path.
std::vector<std::pair<std::string, std::string>> DefinitionKeys(IPolicyContainer& container,
                                                                const char* pszKind) {
    std::vector<std::pair<std::string, std::string>> keys;
    const std::string kindPath = std::string(kResponseRoot) + pszKind;
    qgStringVector* pNames = nullptr;
    if (!container.GetSubKeyNames(kindPath.c_str(), &pNames) || pNames == nullptr) {
        return keys;
    }
    for (size_t i = 0; i < pNames->GetCount(); ++i) {
        std::string name = pNames->GetItem(i);
        keys.emplace_back(name, kindPath + "\\" + name);
    }
    pNames->Release();
    return keys;
}

std::string Text(IPolicyContainer& container, const std::string& path, const char* pszName,
                 const char* pszDefault = "") {
    const char* pszText = container.GetText(path.c_str(), pszName, pszDefault);
    return pszText != nullptr ? pszText : pszDefault;
}

std::optional<std::string> OptionalText(IPolicyContainer& container, const std::string& path,
                                        const char* pszName) {
    if (!container.Exists(path.c_str(), pszName)) {
        return std::nullopt;
    }
    return Text(container, path, pszName);
}

template <typename Definition>
const Definition* Find(const std::map<std::string, Definition>& map, const std::string& name) {
    auto found = map.find(name);
    return found != map.end() ? &found->second : nullptr;
}

}  // namespace

void ResponseDefinitions::Load(IPolicyContainer& container) {
    m_mail.clear();
    m_traps.clear();
    m_programs.clear();
    for (const auto& [name, path] : DefinitionKeys(container, kMailKind)) {
        MailDefinition& mail = m_mail[name];
        mail.m_strTo = Text(container, path, "To");
        mail.m_subjectTemplate = OptionalText(container, path, "Subject");
        mail.m_bodyTemplate = OptionalText(container, path, "Body");
    }
    for (const auto& [name, path] : DefinitionKeys(container, kTrapKind)) {
        TrapDefinition& trap = m_traps[name];
        const bool bNotPrintableOnly = false;
        trap.m_strAddress = Text(container, path, "Address");
        trap.m_strCommunity = Text(container, path, "Community", "public");
        trap.m_bPrintableOnly = container.GetBool(path.c_str(), "PrintableOnly", &bNotPrintableOnly);
    }
    for (const auto& [name, path] : DefinitionKeys(container, kProgramKind)) {
        ProgramDefinition& program = m_programs[name];
        program.m_strProgram = Text(container, path, "Program");
        program.m_strParameters = Text(container, path, "Parameters");
    }
}

BlockResponseMap ResponseDefinitions::LoadBlockResponses(IPolicyContainer& container) {
    BlockResponseMap blocks;
    for (const auto& [name, path] : DefinitionKeys(container, kBlockKind)) {
        BlockResponseInfo& block = blocks[name];
        block.addresses = Text(container, path, "Addresses");
        // Taken written as a switch (=B) or as a number (=L).
        const int32_t noNumber = 0;
        const bool bNotAllowed = false;
        const bool bAllow = container.GetValueType(path.c_str(), "Allow") == kPolicyValueLong
                                ? container.GetInt(path.c_str(), "Allow", &noNumber) != 0
                                : container.GetBool(path.c_str(), "Allow", &bNotAllowed);
        block.allow = bAllow ? 1 : 0;
    }
    return blocks;
}

void ResponseDefinitions::CheckBlockResponses(const BlockResponseMap& blocks,
                                              std::vector<DefinitionFinding>& findings) {
    for (const auto& [name, block] : blocks) {
        const std::string definition = std::string(kBlockKind) + " \\ " + name;
        const AddressListCheck check = CheckAddressList(block.addresses);
        if (check.Usable() == 0) {
            const std::string lacks =
                check.m_nPieces == 0 ? " has no \"Addresses\"" : " has no address in \"Addresses\"";
            if (block.allow == 0) {
                findings.push_back({kCSFLogError, definition + lacks + ", so it blocks no intruder"});
            } else {
                findings.push_back({kCSFLogWarning,
                                    definition + lacks +
                                        " and \"Allow\" on, so it lets no intruder through: the "
                                        "rules that choose it block every intruder"});
            }
        }
        for (const std::string& note : {check.UnparsedNote("intruder"), check.IgnoredNote()}) {
            if (!note.empty()) {
                findings.push_back({kCSFLogWarning, definition + ": " + note});
            }
        }
    }
}

const MailDefinition* ResponseDefinitions::FindMail(const std::string& name) const {
    return Find(m_mail, name);
}

const TrapDefinition* ResponseDefinitions::FindTrap(const std::string& name) const {
    return Find(m_traps, name);
}

const ProgramDefinition* ResponseDefinitions::FindProgram(const std::string& name) const {
    return Find(m_programs, name);
}
