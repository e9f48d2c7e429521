#pragma once
// The response definitions of the host's common policy: under
// "\Response\<kind>\<name>\" each response name the rules can choose has
// the settings hwhost needs to carry it out.
//
//   "EMAIL":          "To" (the recipients), and optionally "Subject" and
//                     "Body", templates of placeholder tags; without them
//                     the formatter's fixed layout is used.
//   "SNMP":           "Address" (HOST:PORT of the manager; hwhost's
//                     --snmp-manager when absent), "Community" (default
//                     "public"), "PrintableOnly" (bool, default false).
//   "USER SPECIFIED": "Program" (the program and any fixed arguments, as a
//                     command line) and "Parameters" (the parameter
//                     template whose tags the alert fills).
//   "BLOCK":          "Addresses" ("a.b.c.d[/n],...") and "Allow" (bool,
//                     default false: the addresses are blocked; true: only
//                     they are let through).  Handed to the sensor's IDS
//                     configuration, which blocks for the network rules.
//
// A definition is read as it stands, whatever it lacks; the response runner
// tells which it can never carry out, and CheckBlockResponses what a
// "BLOCK" definition does that its author may not mean.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "hostwarden/IIDSConfig.h"

class IPolicyContainer;

struct MailDefinition {
    std::string m_strTo;
    std::optional<std::string> m_subjectTemplate;
    std::optional<std::string> m_bodyTemplate;
    bool operator==(const MailDefinition&) const = default;
};

struct TrapDefinition {
    std::string m_strAddress;
    std::string m_strCommunity = "public";
    bool m_bPrintableOnly = false;
    bool operator==(const TrapDefinition&) const = default;
};

struct ProgramDefinition {
    std::string m_strProgram;
    std::string m_strParameters;
    bool operator==(const ProgramDefinition&) const = default;
};

// One thing a load says of a definition: its level (kCSFLogError for one
// that is never carried out, kCSFLogWarning for one that does what its
// author may not mean) and "KIND \ NAME ...".
struct DefinitionFinding {
    uint32_t m_dwLevel = 0;
    std::string m_strText;
};

class ResponseDefinitions {
public:
    // The response names of the rules' policy, which are the kinds here.
    static constexpr char kMailKind[] = "EMAIL";
    static constexpr char kTrapKind[] = "SNMP";
    static constexpr char kProgramKind[] = "USER SPECIFIED";
    static constexpr char kBlockKind[] = "BLOCK";

    // Reads every definition of the three kinds; others are not hwhost's.
    void Load(IPolicyContainer& container);

    const MailDefinition* FindMail(const std::string& name) const;
    const TrapDefinition* FindTrap(const std::string& name) const;
    const ProgramDefinition* FindProgram(const std::string& name) const;
    // Every definition of a kind, by name.
    const std::map<std::string, MailDefinition>& Mail() const { return m_mail; }
    const std::map<std::string, TrapDefinition>& Traps() const { return m_traps; }
    const std::map<std::string, ProgramDefinition>& Programs() const { return m_programs; }
    // The "BLOCK" definitions, which are the sensor's to carry out.
    static BlockResponseMap LoadBlockResponses(IPolicyContainer& container);
    // Appends what each "BLOCK" definition does that its author may not
    // mean, read as the sensor reads it: without an address in
    // "Addresses" a definition blocks no intruder (an error: it is never
    // carried out), or, with "Allow" on, lets none through, so the rules
    // that choose it block every intruder (a warning); a piece of
    // "Addresses" that is no address matches no intruder, and those past
    // the 15th are ignored (warnings).
    static void CheckBlockResponses(const BlockResponseMap& blocks,
                                    std::vector<DefinitionFinding>& findings);

    bool operator==(const ResponseDefinitions&) const = default;

private:
    std::map<std::string, MailDefinition> m_mail;
    std::map<std::string, TrapDefinition> m_traps;
    std::map<std::string, ProgramDefinition> m_programs;
};
