#pragma once
// hwhost's carrying out of the responses a rule asks for: for each alert
// event it has the plug-in's formatters turn the event into what each
// response needs and does the rest itself.  An "EMAIL" choice becomes one
// file in the outbox, an "SNMP" choice one trap sent to the manager, a
// "USER SPECIFIED" choice one run of the program, whose command line hwhost
// splits into arguments itself: no shell ever sees alert text.
//
// The work comes in two steps.  Prepare formats, on the thread that hands
// the alert over, while the alert event and its policy event exist; it may
// run on several threads at once.  CarryOut does the writing, sending and
// starting later, on the alert pipeline's thread only, from what Prepare
// kept.  The definitions are replaced from the control thread at each policy
// hand-over.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "DeliveryProblems.h"
#include "HostBound.h"
#include "MailOutbox.h"
#include "ResponseDefinitions.h"

class HostServices;
class ICSFAlertEvent;
class ICSFCommonResponseSNMP;
class ICSFClassFactory;
class IPolicyContainer;
class IPolicyEventInterface;
class SnmpTrapSender;
class SnmpTrapMessage;
namespace plat {
class ChildProcess;
}

struct TrapFormatterReleaser {
    void operator()(ICSFCommonResponseSNMP* pFormatter) const;
};

// One response made ready from an alert event.  It holds everything
// carrying it out needs, so neither the alert event nor the policy event
// has to outlive the preparation.
struct PreparedResponse {
    enum class Kind { kMail, kTrap, kProgram };

    Kind m_kind = Kind::kMail;
    // The choice: the definition's name in the common policy.
    std::string m_strName;
    // kMail.
    std::string m_strTo;
    std::string m_strSubject;
    std::string m_strBody;
    // kTrap: HOST:PORT, and the formatter that owns the message it made.
    std::string m_strManager;
    std::unique_ptr<ICSFCommonResponseSNMP, TrapFormatterReleaser> m_pTrapFormatter;
    SnmpTrapMessage* m_pTrap = nullptr;
    // kProgram: the program first, then its arguments: those the
    // definition gives, then those of the parameter line.
    std::vector<std::string> m_arguments;
    size_t m_nDefinedArguments = 0;
};

class ResponseRunner {
public:
    // `root` is the sensor root (the outbox is its "outbox" folder);
    // `defaultManager` the HOST:PORT traps go to when a definition names
    // none (empty: such traps are not sent).
    ResponseRunner(HostServices& services, const std::string& root, std::string defaultManager);
    ~ResponseRunner();
    ResponseRunner(const ResponseRunner&) = delete;
    ResponseRunner& operator=(const ResponseRunner&) = delete;

    // The factory the formatters are made by; null runs no responses.
    void SetClassFactory(ICSFClassFactory* pFactory);
    // Replaces the definitions; true when they differ from those before.
    // `pFindings`, when given, receives what the load says of them, each
    // naming the definition's kind and name:
    // - an error for one that can never be carried out, with what it lacks
    //   and what is therefore not done: a mail without a "To", a trap
    //   without a manager (no "Address" and no default, or one that is not
    //   HOST:PORT), a program without a "Program";
    // - an error for a program that cannot be run now (no such file, no
    //   file of the name along PATH, a folder, not executable by hwhost's
    //   account), with the reason: it is tried at each alert all the same;
    // - a warning for a manager whose host name does not resolve now, or
    //   whose resolution did not end within kResolveWait: it may resolve
    //   later.
    bool LoadDefinitions(IPolicyContainer& commonPolicy,
                         std::vector<DefinitionFinding>* pFindings = nullptr);
    // How long a load waits, for all its managers together, for the
    // resolver; and how many lookups that did not end in time may still be
    // waiting on it before a load asks no more.
    static constexpr std::chrono::milliseconds kResolveWait{2000};
    static constexpr size_t kMaxLookupsWaiting = 8;

    // Formats every response of the policy event that hwhost knows for the
    // event and appends it to `prepared`; one that cannot be formatted is
    // logged and counted as failed.  A choice the common policy does not
    // define, or whose definition is unusable, is not carried out, only
    // counted: the sensor names the rule and the choice, and the host the
    // unusable definition, once at each policy load, and a mail without
    // recipients or a program without a command line helps nobody.
    void Prepare(IPolicyEventInterface& policyEvent, ICSFAlertEvent& event,
                 std::vector<PreparedResponse>& prepared);
    // Writes, sends or starts one prepared response; false when that fails.
    bool CarryOut(PreparedResponse& response);
    // Both steps at once; answers how many responses were carried out.
    uint32_t Run(IPolicyEventInterface& policyEvent, ICSFAlertEvent& event);

    // Waits up to `timeoutMs` for the programs still running and reaps
    // those that ended; answers how many still run.
    size_t WaitForPrograms(uint32_t timeoutMs);

    // Mails written, those written late after waiting for the outbox
    // included.
    uint64_t MailsWritten() const { return m_outbox.Written(); }
    MailOutbox& Outbox() { return m_outbox; }
    uint64_t TrapsSent() const { return m_qwTraps.load(); }
    // At most this many user programs run at once: a flood of alerts must
    // not become a flood of processes.  Programs beyond it are not started;
    // they are counted, and said at once and then once a minute (HostBound).
    // Those that ended are reaped before each response, so no more than
    // this many are ever left unreaped either.
    static constexpr size_t kMaxRunningPrograms = 32;
    // A manager whose address cannot be resolved, or whose socket cannot be
    // opened, is tried again at most this often: its traps meanwhile fail at
    // once, so a flood of alerts does not wait on a resolver each.
    static constexpr std::chrono::seconds kManagerRetry{60};

    uint64_t ProgramsStarted() const { return m_qwPrograms.load(); }
    uint64_t ProgramsNotStarted() const { return m_programsBound.Total(); }
    uint64_t Failures() const { return m_qwFailures.load(); }
    // Responses whose choice names no definition.
    uint64_t Undefined() const { return m_qwUndefined.load(); }
    // Responses whose definition is unusable (see LoadDefinitions).
    uint64_t Unusable() const { return m_qwUnusable.load(); }
    // Why responses could not be carried out, for reasons learnt only as
    // their alerts came (a formatter that fails, a trap not sent, a
    // program not started, mails that wait for the outbox): each said on
    // the console at once and counted for the stop.
    const DeliveryProblems& Problems() const { return m_problems; }
    // Each bound of the responses that left something out, as the stop
    // lists it (the mails' complete after the outbox's Stop).  Any thread
    // may ask.
    std::vector<std::string> BoundsReached() const;

    // What an alert's values may make of a response is bounded only by
    // what carries it: a trap longer than its sender takes has its longest
    // values cut to fit, and so has a program's command line longer than
    // the system starts a program with (an argument, or the arguments and
    // the environment together); each cut is said and counted as a bound
    // of that response, so the response is still carried out.  The room
    // for a program's arguments, as the system reckons it now: at most
    // m_nEach bytes an argument, and m_nAll bytes for them all, each
    // counted with its terminator and its pointer.
    struct ArgumentRoom {
        size_t m_nEach = 0;
        size_t m_nAll = 0;
    };
    static ArgumentRoom ProgramArgumentRoom(const std::string& program);

    // "HOST:PORT" (the last colon splits; HOST not empty, PORT the
    // decimal digits of 1 to 65535): the definitions' "Address" and
    // hwhost's --snmp-manager alike.
    static bool SplitManager(const std::string& manager, std::string& host, uint16_t& port);

private:
    bool PrepareMail(ICSFAlertEvent& event, PreparedResponse& mail);
    bool PrepareTrap(ICSFAlertEvent& event, PreparedResponse& trap);
    bool PrepareProgram(ICSFAlertEvent& event, PreparedResponse& program);
    bool WriteMail(const PreparedResponse& mail);
    bool SendTrap(PreparedResponse& trap);
    bool StartProgram(const PreparedResponse& program);
    // The sender for `manager`, or null with what keeps it from being one.
    SnmpTrapSender* SenderFor(const std::string& manager, std::string& problem, std::string& detail);
    void ReapPrograms();
    bool Fail();
    // Notes `problem` of the response of `kind` whose choice is `name`
    // ("the SNMP response \"Ops\" is not carried out: ..."), and fails.
    bool Fail(const char* pszKind, const std::string& name, const std::string& problem,
              const std::string& detail = std::string());
    bool IsDefined(const std::string& kind, const std::string& name) const;
    // The response of `pszKind` chosen as `name` was carried out: its
    // problems have ended (DeliveryProblems::Ended).
    void Carried(const char* pszKind, const std::string& name);
    // Cuts the parameter line's arguments of `program` to what the system
    // starts a program with, counting the cut as the response's bound.
    void FitArguments(PreparedResponse& program);
    // The bound that counts the bytes cut off the response of `pszKind`
    // chosen as `name` ("the SNMP response \"Ops\""), made at its first cut.
    HostBound& CutBound(const char* pszKind, const std::string& name, const std::string& limit);
    // What keeps a definition from ever being carried out, as "has no
    // ..., so no ... for it"; empty when nothing does.
    static std::string Lacks(const MailDefinition& mail);
    std::string Lacks(const TrapDefinition& trap) const;
    static std::string Lacks(const ProgramDefinition& program);
    // The load's findings of the programs that cannot be run and the
    // managers that do not resolve.
    static void CheckPrograms(const ResponseDefinitions& definitions,
                              std::vector<DefinitionFinding>& findings);
    void CheckManagers(const ResponseDefinitions& definitions,
                       std::vector<DefinitionFinding>& findings) const;
    // True with `definition` copied when `name` names a usable one; else
    // counted (undefined or unusable) and false.
    template <typename Definition>
    bool TakeUsable(const Definition* (ResponseDefinitions::*find)(const std::string&) const,
                    const std::string& name, Definition& definition);

    HostServices& m_services;
    MailOutbox m_outbox;
    std::string m_defaultManager;
    ICSFClassFactory* m_pFactory = nullptr;
    mutable std::mutex m_definitionLock;
    ResponseDefinitions m_definitions;
    // The pipeline thread's alone.
    std::map<std::string, std::unique_ptr<SnmpTrapSender>> m_senders;
    // Managers that could not be reached: when they were last tried, and
    // why they failed.
    struct FailedManager {
        std::chrono::steady_clock::time_point m_at;
        std::string m_strDetail;
    };
    std::map<std::string, FailedManager> m_failedManagers;
    std::vector<std::unique_ptr<plat::ChildProcess>> m_programs;
    std::atomic<uint64_t> m_qwTraps{0};
    std::atomic<uint64_t> m_qwPrograms{0};
    HostBound m_programsBound;
    // The bounds of what was cut off responses, by kind and name; any
    // thread may list them.
    mutable std::mutex m_cutLock;
    std::map<std::string, std::unique_ptr<HostBound>> m_cutBounds;
    std::atomic<uint64_t> m_qwFailures{0};
    std::atomic<uint64_t> m_qwUndefined{0};
    std::atomic<uint64_t> m_qwUnusable{0};
    DeliveryProblems m_problems{m_services};
};
