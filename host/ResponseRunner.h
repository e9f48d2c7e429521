#pragma once
// hwhost's carrying out of the responses a rule asks for: for each alert
// event it has the plug-in's formatters turn the event into what each
// response needs and does the rest itself.  An "EMAIL" choice becomes one
// file in the outbox, an "SNMP" choice one trap sent to the manager, a
// "USER SPECIFIED" choice one run of the program, whose command line hwhost
// splits into arguments itself: no shell ever sees alert text.
//
// Run is called from the alert pipeline's thread; the definitions are
// replaced from the control thread at each policy hand-over.

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "MailOutbox.h"
#include "ResponseDefinitions.h"

class HostServices;
class ICSFAlertEvent;
class ICSFClassFactory;
class IPolicyContainer;
class IPolicyEventInterface;
class SnmpTrapSender;
namespace plat {
class ChildProcess;
}

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
    void LoadDefinitions(IPolicyContainer& commonPolicy);

    // Carries out every response of the policy event that hwhost knows for
    // the event; answers how many were carried out.
    uint32_t Run(IPolicyEventInterface& policyEvent, ICSFAlertEvent& event);

    // Waits up to `timeoutMs` for the programs still running and reaps
    // those that ended; answers how many still run.
    size_t WaitForPrograms(uint32_t timeoutMs);

    uint64_t MailsWritten() const { return m_qwMails.load(); }
    uint64_t TrapsSent() const { return m_qwTraps.load(); }
    uint64_t ProgramsStarted() const { return m_qwPrograms.load(); }
    uint64_t Failures() const { return m_qwFailures.load(); }

    static bool SplitManager(const std::string& manager, std::string& host, uint16_t& port);

private:
    bool RunMail(const std::string& name, ICSFAlertEvent& event);
    bool RunTrap(const std::string& name, ICSFAlertEvent& event);
    bool RunProgram(const std::string& name, ICSFAlertEvent& event);
    SnmpTrapSender* SenderFor(const std::string& manager);
    void ReapPrograms();
    bool Fail();

    HostServices& m_services;
    MailOutbox m_outbox;
    std::string m_defaultManager;
    ICSFClassFactory* m_pFactory = nullptr;
    mutable std::mutex m_definitionLock;
    ResponseDefinitions m_definitions;
    std::map<std::string, std::unique_ptr<SnmpTrapSender>> m_senders;
    std::vector<std::unique_ptr<plat::ChildProcess>> m_programs;
    std::atomic<uint64_t> m_qwMails{0};
    std::atomic<uint64_t> m_qwTraps{0};
    std::atomic<uint64_t> m_qwPrograms{0};
    std::atomic<uint64_t> m_qwFailures{0};
};
