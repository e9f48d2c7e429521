#include "ResponseRunner.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <system_error>
#include <thread>

#include "HostServices.h"
#include "hostwarden/CSFIdentifiers.h"
#include "hostwarden/ICSFClassFactory.h"
#include "hostwarden/ICSFCommonResponseMail.h"
#include "hostwarden/ICSFCommonResponseSNMP.h"
#include "hostwarden/ICSFCommonResponseUserSpecified.h"
#include "hostwarden/IPolicyEventInterface.h"
#include "platform/Files.h"
#include "platform/LastError.h"
#include "platform/Process.h"
#include "platform/Sockets.h"
#include "qorToolsLib/SafeText.h"
#include "qorToolsLib/SnmpTrapSender.h"
#include "qorToolsLib/CountText.h"

extern char** environ;

#define RESPONSE_LOG(level, ...) \
    m_services.Log(nullptr, kCSFLogCategory, (level), __LINE__, __FILE__, __VA_ARGS__)

namespace {

// Formatters are released, never deleted, by their holder.
template <typename Formatter>
struct FormatterReleaser {
    void operator()(Formatter* pFormatter) const { pFormatter->Release(); }
};

template <typename Formatter>
using FormatterHandle = std::unique_ptr<Formatter, FormatterReleaser<Formatter>>;

template <typename Formatter>
FormatterHandle<Formatter> CreateFormatter(ICSFClassFactory* pFactory, const CSFIdentifier& id) {
    void* pObject = nullptr;
    if (pFactory == nullptr || pFactory->CreateInstance(id, &pObject) != CSF_S_OK) {
        return nullptr;
    }
    return FormatterHandle<Formatter>(static_cast<Formatter*>(pObject));
}

std::string OrEmpty(const char* pszText) {
    return pszText != nullptr ? pszText : "";
}

bool IsBlank(const std::string& text) {
    return text.find_first_not_of(" \t\r\n") == std::string::npos;
}

// "EMAIL \ Admins has no ..." for each unusable definition of one kind.
template <typename Definition, typename Check>
void ListUnusable(const char* pszKind, const std::map<std::string, Definition>& definitions,
                  Check lacks, std::vector<DefinitionFinding>& findings) {
    for (const auto& [name, definition] : definitions) {
        const std::string why = lacks(definition);
        if (!why.empty()) {
            findings.push_back({kCSFLogError, std::string(pszKind) + " \\ " + name + " " + why});
        }
    }
}

// Why this process cannot run `program` (a path, or a name looked up along
// PATH as the start looks it up), or "" when it can.
std::string WhyNotRunnable(const std::string& program) {
    std::string path = program;
    if (program.find('/') == std::string::npos && !plat::SearchPath(program, path)) {
        return "no folder of PATH holds a file of that name";
    }
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        return std::strerror(errno);
    }
    if (S_ISDIR(info.st_mode)) {
        return "it is a folder";
    }
    if (!S_ISREG(info.st_mode)) {
        return "it is no regular file";
    }
    if (::faccessat(AT_FDCWD, path.c_str(), X_OK, AT_EACCESS) != 0) {
        const int error = errno;
        return "hwhost's account (uid " + std::to_string(::geteuid()) + ") may not run it (" +
               std::strerror(error) + ")";
    }
    return "";
}

// One host name looked up on a thread of its own, so that a resolver that
// does not answer holds up a load no longer than its wait; the thread ends
// when the resolver gives up, whether or not anyone still waits for it.
struct Lookup {
    std::mutex m_lock;
    std::condition_variable m_done;
    bool m_bDone = false;
    bool m_bResolved = false;
    uint32_t m_dwError = 0;
};

std::atomic<size_t> g_lookupsWaiting{0};

std::shared_ptr<Lookup> StartLookup(const std::string& host) {
    auto pLookup = std::make_shared<Lookup>();
    g_lookupsWaiting.fetch_add(1);
    try {
        std::thread([pLookup, host] {
            uint32_t address = 0;
            const bool bResolved = plat::ResolveIpv4Address(host.c_str(), address);
            const uint32_t dwError = bResolved ? 0 : plat::GetLastError();
            {
                std::lock_guard<std::mutex> guard(pLookup->m_lock);
                pLookup->m_bDone = true;
                pLookup->m_bResolved = bResolved;
                pLookup->m_dwError = dwError;
            }
            pLookup->m_done.notify_all();
            g_lookupsWaiting.fetch_sub(1);
        }).detach();
    } catch (const std::system_error&) {
        g_lookupsWaiting.fetch_sub(1);
        return nullptr;
    }
    return pLookup;
}

// The resolver's answer in words.
std::string ResolverWords(uint32_t dwError) {
    switch (dwError) {
        case plat::kWsaHostNotFound:
            return "host not found";
        case plat::kWsaNoData:
            return "the name has no IPv4 address";
        case 11002:
            return "the resolver could not answer now (try again)";
        default:
            return "resolver error " + std::to_string(dwError);
    }
}

}  // namespace

ResponseRunner::ResponseRunner(HostServices& services, const std::string& root,
                               std::string defaultManager)
    : m_services(services),
      m_outbox(root + "/outbox", &services),
      m_defaultManager(std::move(defaultManager)),
      m_programsBound(&services, "user programs of responses",
                      "at most " + std::to_string(kMaxRunningPrograms) + " running at once", "programs") {}

ResponseRunner::~ResponseRunner() = default;

void ResponseRunner::SetClassFactory(ICSFClassFactory* pFactory) { m_pFactory = pFactory; }

bool ResponseRunner::LoadDefinitions(IPolicyContainer& commonPolicy,
                                     std::vector<DefinitionFinding>* pFindings) {
    ResponseDefinitions definitions;
    definitions.Load(commonPolicy);
    if (pFindings != nullptr) {
        auto lacks = [this](const auto& definition) { return Lacks(definition); };
        ListUnusable(ResponseDefinitions::kMailKind, definitions.Mail(), lacks, *pFindings);
        ListUnusable(ResponseDefinitions::kTrapKind, definitions.Traps(), lacks, *pFindings);
        ListUnusable(ResponseDefinitions::kProgramKind, definitions.Programs(), lacks, *pFindings);
        CheckPrograms(definitions, *pFindings);
        CheckManagers(definitions, *pFindings);
    }
    std::lock_guard<std::mutex> guard(m_definitionLock);
    const bool bChanged = !(definitions == m_definitions);
    m_definitions = std::move(definitions);
    return bChanged;
}

bool ResponseRunner::IsDefined(const std::string& kind, const std::string& name) const {
    std::lock_guard<std::mutex> guard(m_definitionLock);
    if (kind == ResponseDefinitions::kMailKind) {
        return m_definitions.FindMail(name) != nullptr;
    }
    if (kind == ResponseDefinitions::kTrapKind) {
        return m_definitions.FindTrap(name) != nullptr;
    }
    return m_definitions.FindProgram(name) != nullptr;
}

std::string ResponseRunner::Lacks(const MailDefinition& mail) {
    return IsBlank(mail.m_strTo) ? "has no \"To\", so no mail is made for it" : "";
}

std::string ResponseRunner::Lacks(const TrapDefinition& trap) const {
    if (trap.m_strAddress.empty() && m_defaultManager.empty()) {
        return "has no \"Address\" and hwhost was given no --snmp-manager, so no trap is sent "
               "for it";
    }
    std::string host;
    uint16_t port = 0;
    if (!trap.m_strAddress.empty() && !SplitManager(trap.m_strAddress, host, port)) {
        return "has the \"Address\" \"" + trap.m_strAddress +
               "\", which is not HOST:PORT, so no trap is sent for it";
    }
    return "";
}

std::string ResponseRunner::Lacks(const ProgramDefinition& program) {
    return plat::SplitCommandLine(program.m_strProgram).empty()
               ? "has no \"Program\", so no program is started for it"
               : "";
}

void ResponseRunner::CheckPrograms(const ResponseDefinitions& definitions,
                                   std::vector<DefinitionFinding>& findings) {
    for (const auto& [name, program] : definitions.Programs()) {
        const std::vector<std::string> words = plat::SplitCommandLine(program.m_strProgram);
        if (words.empty()) {
            continue;
        }
        const std::string why = WhyNotRunnable(words[0]);
        if (!why.empty()) {
            findings.push_back({kCSFLogError, std::string(ResponseDefinitions::kProgramKind) + " \\ " +
                                                  name + " has the \"Program\" \"" + words[0] +
                                                  "\", which cannot be run: " + why +
                                                  "; each alert that chooses it fails to start it"});
        }
    }
}

void ResponseRunner::CheckManagers(const ResponseDefinitions& definitions,
                                   std::vector<DefinitionFinding>& findings) const {
    // Each host name once, all looked up at once under one deadline.
    std::map<std::string, std::shared_ptr<Lookup>> lookups;
    std::vector<std::pair<std::string, std::string>> uses;  // definition, host
    for (const auto& [name, trap] : definitions.Traps()) {
        const std::string& manager = trap.m_strAddress.empty() ? m_defaultManager : trap.m_strAddress;
        std::string host;
        uint16_t port = 0;
        uint32_t address = 0;
        if (!Lacks(trap).empty() || !SplitManager(manager, host, port) ||
            plat::ParseIpv4Address(host.c_str(), address)) {
            continue;
        }
        uses.emplace_back(name, host);
        if (lookups.count(host) == 0) {
            lookups[host] = g_lookupsWaiting.load() < kMaxLookupsWaiting ? StartLookup(host) : nullptr;
        }
    }
    const auto deadline = std::chrono::steady_clock::now() + kResolveWait;
    for (const auto& [name, host] : uses) {
        Lookup* pLookup = lookups[host].get();
        std::string why;
        if (pLookup == nullptr) {
            why = "whether it resolves was not asked: earlier lookups still wait for the resolver";
        } else {
            std::unique_lock<std::mutex> guard(pLookup->m_lock);
            if (!pLookup->m_done.wait_until(guard, deadline, [&] { return pLookup->m_bDone; })) {
                why = "the resolver gave no answer within " +
                      std::to_string(kResolveWait.count() / 1000) + " s";
            } else if (!pLookup->m_bResolved) {
                why = "its host name does not resolve (" + ResolverWords(pLookup->m_dwError) + ")";
            }
        }
        if (!why.empty()) {
            findings.push_back({kCSFLogWarning,
                                std::string(ResponseDefinitions::kTrapKind) + " \\ " + name +
                                    " sends its traps to " + host + ", but " + why +
                                    "; its traps fail until the name resolves"});
        }
    }
}

// Copies the definition `name` names, as it stands now, when it is usable.
// One gone since Prepare asked counts as a choice without a definition, one
// that lacks what its kind needs as unusable; either is carried out never.
template <typename Definition>
bool ResponseRunner::TakeUsable(const Definition* (ResponseDefinitions::*find)(const std::string&)
                                    const,
                                const std::string& name, Definition& definition) {
    {
        std::lock_guard<std::mutex> guard(m_definitionLock);
        const Definition* pFound = (m_definitions.*find)(name);
        if (pFound == nullptr) {
            m_qwUndefined.fetch_add(1);
            return false;
        }
        definition = *pFound;
    }
    if (!Lacks(definition).empty()) {
        m_qwUnusable.fetch_add(1);
        return false;
    }
    return true;
}

bool ResponseRunner::SplitManager(const std::string& manager, std::string& host, uint16_t& port) {
    const size_t colon = manager.rfind(':');
    if (colon == std::string::npos || colon == 0) {
        return false;
    }
    // Digits only: no sign, no blank, no number of another base.
    const size_t digits = manager.size() - colon - 1;
    if (digits == 0 || digits > 5 ||
        manager.find_first_not_of("0123456789", colon + 1) != std::string::npos) {
        return false;
    }
    const unsigned long value = std::strtoul(manager.c_str() + colon + 1, nullptr, 10);
    if (value == 0 || value > 65535) {
        return false;
    }
    host = manager.substr(0, colon);
    port = static_cast<uint16_t>(value);
    return true;
}

bool ResponseRunner::Fail() {
    m_qwFailures.fetch_add(1);
    return false;
}

bool ResponseRunner::Fail(const char* pszKind, const std::string& name, const std::string& problem,
                          const std::string& detail) {
    m_problems.Note(std::string("the ") + pszKind + " response \"" + name +
                        "\" is not carried out: " + problem,
                    detail);
    return Fail();
}

void ResponseRunner::Carried(const char* pszKind, const std::string& name) {
    // What kept this response from being carried out holds no longer.
    m_problems.Ended(std::string("the ") + pszKind + " response \"" + name + "\" is not carried out: ");
}

void TrapFormatterReleaser::operator()(ICSFCommonResponseSNMP* pFormatter) const {
    pFormatter->Release();
}

void ResponseRunner::Prepare(IPolicyEventInterface& policyEvent, ICSFAlertEvent& event,
                             std::vector<PreparedResponse>& prepared) {
    const CSFResponseList* pResponses = policyEvent.GetResponses();
    if (pResponses == nullptr) {
        return;
    }
    for (const CSFResponsePair& response : *pResponses) {
        if (response.m_strName != ResponseDefinitions::kMailKind &&
            response.m_strName != ResponseDefinitions::kTrapKind &&
            response.m_strName != ResponseDefinitions::kProgramKind) {
            continue;
        }
        if (!IsDefined(response.m_strName, response.m_strChoice)) {
            m_qwUndefined.fetch_add(1);
            continue;
        }
        PreparedResponse ready;
        ready.m_strName = response.m_strChoice;
        bool bReady = false;
        if (response.m_strName == ResponseDefinitions::kMailKind) {
            ready.m_kind = PreparedResponse::Kind::kMail;
            bReady = PrepareMail(event, ready);
        } else if (response.m_strName == ResponseDefinitions::kTrapKind) {
            ready.m_kind = PreparedResponse::Kind::kTrap;
            bReady = PrepareTrap(event, ready);
        } else if (response.m_strName == ResponseDefinitions::kProgramKind) {
            ready.m_kind = PreparedResponse::Kind::kProgram;
            bReady = PrepareProgram(event, ready);
        } else {
            continue;
        }
        if (bReady) {
            prepared.push_back(std::move(ready));
        }
    }
}

bool ResponseRunner::CarryOut(PreparedResponse& response) {
    ReapPrograms();
    switch (response.m_kind) {
        case PreparedResponse::Kind::kMail:
            return WriteMail(response);
        case PreparedResponse::Kind::kTrap:
            return SendTrap(response);
        case PreparedResponse::Kind::kProgram:
            return StartProgram(response);
    }
    return Fail();
}

uint32_t ResponseRunner::Run(IPolicyEventInterface& policyEvent, ICSFAlertEvent& event) {
    std::vector<PreparedResponse> prepared;
    Prepare(policyEvent, event, prepared);
    uint32_t carriedOut = 0;
    for (PreparedResponse& response : prepared) {
        carriedOut += CarryOut(response) ? 1 : 0;
    }
    return carriedOut;
}

bool ResponseRunner::PrepareMail(ICSFAlertEvent& event, PreparedResponse& mail) {
    const std::string& name = mail.m_strName;
    MailDefinition definition;
    if (!TakeUsable(&ResponseDefinitions::FindMail, name, definition)) {
        return false;
    }
    auto pMail = CreateFormatter<ICSFCommonResponseMail>(m_pFactory, CLSID_ResponseMail);
    if (pMail == nullptr) {
        return Fail(ResponseDefinitions::kMailKind, name, "the plug-in made no e-mail formatter");
    }
    if (!pMail->ExtractEventData(&event)) {
        return Fail(ResponseDefinitions::kMailKind, name,
                    "the e-mail formatter could not read the alert");
    }
    mail.m_strSubject = OrEmpty(pMail->GetSubject(
        definition.m_subjectTemplate ? definition.m_subjectTemplate->c_str() : nullptr));
    mail.m_strBody = OrEmpty(
        pMail->GetBody(definition.m_bodyTemplate ? definition.m_bodyTemplate->c_str() : nullptr));
    mail.m_strTo = std::move(definition.m_strTo);
    return true;
}

bool ResponseRunner::WriteMail(const PreparedResponse& mail) {
    std::string path;
    std::string error;
    switch (m_outbox.Deliver(mail.m_strTo, mail.m_strSubject, mail.m_strBody, path, error)) {
        case MailOutbox::Result::kWritten:
            RESPONSE_LOG(kCSFLogInfo, "hwhost: e-mail \"%s\" to \"%s\" written to %s",
                         mail.m_strName.c_str(), mail.m_strTo.c_str(), path.c_str());
            Carried(ResponseDefinitions::kMailKind, mail.m_strName);
            m_problems.Ended("e-mail \"" + mail.m_strName + "\" not written yet");
            return true;
        case MailOutbox::Result::kWaiting:
            // Late, not lost: what keeps the outbox from taking it is said
            // once, then counted.
            m_problems.Note("e-mail \"" + mail.m_strName + "\" not written yet",
                            error + "; tried again", true);
            return true;
        case MailOutbox::Result::kDropped:
            break;
    }
    return Fail();
}

SnmpTrapSender* ResponseRunner::SenderFor(const std::string& manager, std::string& problem,
                                          std::string& detail) {
    auto found = m_senders.find(manager);
    if (found != m_senders.end()) {
        return found->second.get();
    }
    std::string host;
    uint16_t port = 0;
    if (!SplitManager(manager, host, port)) {
        problem = "the SNMP manager \"" + manager + "\" is not HOST:PORT";
        return nullptr;
    }
    problem = "no socket for the SNMP manager " + manager;
    // A resolver that takes seconds to fail would otherwise hold up the
    // alert outputs for each trap: the last failure stands for a while.
    const auto now = std::chrono::steady_clock::now();
    auto failed = m_failedManagers.find(manager);
    if (failed != m_failedManagers.end() && now - failed->second.m_at < kManagerRetry) {
        detail = failed->second.m_strDetail;
        return nullptr;
    }
    auto sender = std::make_unique<SnmpTrapSender>(host.c_str(), port);
    if (!sender->IsOpen()) {
        detail = std::string(sender->ErrorText()) + " (tried again in " + std::to_string(kManagerRetry.count()) +
                 " s)";
        m_failedManagers[manager] = {now, detail};
        return nullptr;
    }
    problem.clear();
    m_failedManagers.erase(manager);
    return m_senders.emplace(manager, std::move(sender)).first->second.get();
}

std::vector<std::string> ResponseRunner::BoundsReached() const {
    std::vector<std::string> lines;
    for (const HostBound* pBound : {&m_programsBound, &m_outbox.WaitingBound()}) {
        if (pBound->Total() != 0) {
            lines.push_back(pBound->Describe());
        }
    }
    std::lock_guard<std::mutex> guard(m_cutLock);
    for (const auto& [key, pBound] : m_cutBounds) {
        lines.push_back(pBound->Describe());
    }
    return lines;
}

HostBound& ResponseRunner::CutBound(const char* pszKind, const std::string& name, const std::string& limit) {
    const std::string input = std::string("the ") + pszKind + " response \"" + name + "\"";
    std::lock_guard<std::mutex> guard(m_cutLock);
    std::unique_ptr<HostBound>& pBound = m_cutBounds[input];
    if (pBound == nullptr) {
        pBound = std::make_unique<HostBound>(&m_services, input, limit, "bytes");
    }
    return *pBound;
}

bool ResponseRunner::PrepareTrap(ICSFAlertEvent& event, PreparedResponse& trap) {
    const std::string& name = trap.m_strName;
    TrapDefinition definition;
    if (!TakeUsable(&ResponseDefinitions::FindTrap, name, definition)) {
        return false;
    }
    trap.m_strManager =
        definition.m_strAddress.empty() ? m_defaultManager : definition.m_strAddress;
    trap.m_pTrapFormatter.reset(
        CreateFormatter<ICSFCommonResponseSNMP>(m_pFactory, CLSID_ResponseSNMP).release());
    if (trap.m_pTrapFormatter == nullptr) {
        return Fail(ResponseDefinitions::kTrapKind, name, "the plug-in made no SNMP formatter");
    }
    trap.m_pTrap = trap.m_pTrapFormatter->FormatTrap(definition.m_strCommunity.c_str(), &event,
                                                     definition.m_bPrintableOnly);
    if (trap.m_pTrap == nullptr) {
        return Fail(ResponseDefinitions::kTrapKind, name,
                    "the SNMP formatter could not read the alert");
    }
    return true;
}

bool ResponseRunner::SendTrap(PreparedResponse& trap) {
    std::string problem;
    std::string detail;
    SnmpTrapSender* pSender = SenderFor(trap.m_strManager, problem, detail);
    if (pSender == nullptr) {
        return Fail(ResponseDefinitions::kTrapKind, trap.m_strName, problem, detail);
    }
    const auto dwMaxLength = static_cast<uint32_t>(pSender->MaxMessageSize());
    const SnmpTrapCut cut = trap.m_pTrap->CutToFit(dwMaxLength);
    if (cut.m_qwBytes != 0) {
        CutBound(ResponseDefinitions::kTrapKind, trap.m_strName,
                 "at most " + std::to_string(dwMaxLength) + " bytes a trap, its longest values cut")
            .LeftOut(cut.m_qwBytes);
    }
    if (!pSender->Send(*trap.m_pTrap)) {
        return Fail(ResponseDefinitions::kTrapKind, trap.m_strName,
                    "the trap to " + trap.m_strManager + " is not sent", pSender->ErrorText());
    }
    RESPONSE_LOG(kCSFLogInfo, "hwhost: trap \"%s\" sent to %s", trap.m_strName.c_str(),
                 trap.m_strManager.c_str());
    m_qwTraps.fetch_add(1);
    Carried(ResponseDefinitions::kTrapKind, trap.m_strName);
    return true;
}

bool ResponseRunner::PrepareProgram(ICSFAlertEvent& event, PreparedResponse& program) {
    const std::string& name = program.m_strName;
    ProgramDefinition definition;
    if (!TakeUsable(&ResponseDefinitions::FindProgram, name, definition)) {
        return false;
    }
    auto pFormatter =
        CreateFormatter<ICSFCommonResponseUserSpecified>(m_pFactory, CLSID_ResponseUserSpecified);
    if (pFormatter == nullptr) {
        return Fail(ResponseDefinitions::kProgramKind, name,
                    "the plug-in made no user-specified formatter");
    }
    const char* pszLine = pFormatter->GetParameters(definition.m_strParameters.c_str(), &event);
    if (pszLine == nullptr) {
        return Fail(ResponseDefinitions::kProgramKind, name,
                    "the user-specified formatter could not read the alert");
    }
    // Split here, never by a shell: every quoted value is one argument.
    program.m_arguments = plat::SplitCommandLine(definition.m_strProgram);
    program.m_nDefinedArguments = program.m_arguments.size();
    for (std::string& argument : plat::SplitCommandLine(pszLine)) {
        program.m_arguments.push_back(std::move(argument));
    }
    // Cut here, so that an alert waiting for the pipeline holds no more
    // of it than the program can be started with.
    FitArguments(program);
    return true;
}

ResponseRunner::ArgumentRoom ResponseRunner::ProgramArgumentRoom(const std::string& program) {
    // The system takes an argument of at most 32 pages with its
    // terminator, and the arguments and the environment, each with its
    // terminator and pointer, within ARG_MAX (glibc answers the stack
    // limit's quarter, or the least the system grants when that is
    // unlimited); the program's path is copied there too.  A page is kept
    // spare for what else the start lays out.
    const long lPage = std::max(::sysconf(_SC_PAGESIZE), 4096L);
    const long lArgMax = std::max(::sysconf(_SC_ARG_MAX), 32 * lPage);
    size_t nUsed = static_cast<size_t>(lPage) + program.size() + 1 + 2 * sizeof(char*);
    for (char** ppEntry = environ; ppEntry != nullptr && *ppEntry != nullptr; ++ppEntry) {
        nUsed += std::strlen(*ppEntry) + 1 + sizeof(char*);
    }
    ArgumentRoom room;
    room.m_nEach = static_cast<size_t>(32 * lPage) - 1;
    room.m_nAll = static_cast<size_t>(lArgMax) > nUsed ? static_cast<size_t>(lArgMax) - nUsed : 0;
    return room;
}

void ResponseRunner::FitArguments(PreparedResponse& program) {
    std::vector<std::string>& arguments = program.m_arguments;
    const ArgumentRoom room = ProgramArgumentRoom(arguments[0]);
    const size_t nFirst = std::min(program.m_nDefinedArguments, arguments.size());
    size_t nDefined = 0;
    for (size_t i = 0; i < nFirst; ++i) {
        nDefined += arguments[i].size() + 1 + sizeof(char*);
    }
    std::vector<std::string> line(std::make_move_iterator(arguments.begin() + static_cast<long>(nFirst)),
                                  std::make_move_iterator(arguments.end()));
    const uint64_t qwCut = CutLongestToFit(line, [&](const std::vector<std::string>& tried) {
        size_t nAll = nDefined;
        for (const std::string& argument : tried) {
            if (argument.size() > room.m_nEach) {
                return false;
            }
            nAll += argument.size() + 1 + sizeof(char*);
        }
        return nAll <= room.m_nAll;
    });
    std::move(line.begin(), line.end(), arguments.begin() + static_cast<long>(nFirst));
    if (qwCut != 0) {
        CutBound(ResponseDefinitions::kProgramKind, program.m_strName,
                 "at most " + std::to_string(room.m_nEach) + " bytes an argument and " +
                     std::to_string(room.m_nAll) + " bytes of arguments in all, the longest cut")
            .LeftOut(qwCut);
    }
}

bool ResponseRunner::StartProgram(const PreparedResponse& program) {
    const std::vector<std::string>& arguments = program.m_arguments;
    if (m_programs.size() >= kMaxRunningPrograms) {
        m_programsBound.LeftOut();
        return Fail();
    }
    std::unique_ptr<plat::ChildProcess> pChild = plat::ChildProcess::Start(arguments[0], arguments);
    if (pChild == nullptr) {
        // The start's own reason; what the load found of the program says
        // more when there is more to say (a folder, not executable).
        const int error = plat::GetLastErrno();
        std::string why = WhyNotRunnable(arguments[0]);
        if (why.empty()) {
            why = error != 0 ? std::strerror(error) : "the system gave no reason";
        }
        return Fail(ResponseDefinitions::kProgramKind, program.m_strName,
                    "the program \"" + arguments[0] + "\" could not be started", why);
    }
    RESPONSE_LOG(kCSFLogInfo, "hwhost: program \"%s\" of \"%s\" started as %ld with %s",
                 arguments[0].c_str(), program.m_strName.c_str(), static_cast<long>(pChild->Pid()),
                 CountText(arguments.size() - 1, "argument", "arguments").c_str());
    m_programs.push_back(std::move(pChild));
    m_qwPrograms.fetch_add(1);
    Carried(ResponseDefinitions::kProgramKind, program.m_strName);
    return true;
}

void ResponseRunner::ReapPrograms() {
    for (auto it = m_programs.begin(); it != m_programs.end();) {
        plat::ChildProcess& child = **it;
        if (!child.WaitForExit(0)) {
            ++it;
            continue;
        }
        const int status = child.ExitStatus();
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            RESPONSE_LOG(kCSFLogWarning, "hwhost: program %ld ended with status 0x%x (%s)",
                         static_cast<long>(child.Pid()), static_cast<unsigned>(status),
                         child.DescribeEnd().c_str());
        }
        it = m_programs.erase(it);
    }
}

size_t ResponseRunner::WaitForPrograms(uint32_t timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (auto& pChild : m_programs) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pChild->WaitForExit(left.count() > 0 ? static_cast<uint32_t>(left.count()) : 0);
    }
    ReapPrograms();
    return m_programs.size();
}

#undef RESPONSE_LOG
