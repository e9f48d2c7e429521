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
// tells which it can never carry out.

#include <map>
#include <optional>
#include <string>

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

    bool operator==(const ResponseDefinitions&) const = default;

private:
    std::map<std::string, MailDefinition> m_mail;
    std::map<std::string, TrapDefinition> m_traps;
    std::map<std::string, ProgramDefinition> m_programs;
};
