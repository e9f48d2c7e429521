#include "AlertPipeline.h"

#include <chrono>
#include <memory>

#include "Common/AgentEventInfo.h"
#include "ResponseRunner.h"
#include "hostwarden/ICSFAlertEvent.h"
#include "hostwarden/IPolicyEventInterface.h"
#include "qorCSFLib/CSFAlertMessage.h"
#include "qorEventLib/CQorEvent.h"

#define PIPELINE_LOG(level, ...) \
    m_services.Log(nullptr, kCSFLogCategory, (level), __LINE__, __FILE__, __VA_ARGS__)

namespace {

// The policy level the host asks for: the full response list.
constexpr uint32_t kPolicyLevel = 1;

struct AlertEventDestroyer {
    void operator()(ICSFAlertEvent* pEvent) const { pEvent->Destroy(); }
};

// The record is an object of the plug-in: its virtual destructor runs the
// plug-in's own code.  Its dynamic type cannot be checked here, since the
// type's identity lives inside the plug-in.
__attribute__((no_sanitize("vptr"))) void DisposeRecord(AgentEventInfo* pRecord) {
    delete pRecord;
}

// The XML form of the event a message carries.
bool MessageXml(const CSFAlertMessage& message, std::string& xml) {
    uint32_t length = message.GetLength();
    if (length < CSFAlertMessage::kHeaderSize) {
        return false;
    }
    qorStreamBufferOwner stream;
    if (stream.CreateReadBuffer(message.GetData() + CSFAlertMessage::kHeaderSize,
                                length - CSFAlertMessage::kHeaderSize) != 0) {
        return false;
    }
    CQorEvent event;
    return event.Load(stream) == 0 && event.ToXml(xml) == 0;
}

}  // namespace

AlertPipeline::AlertPipeline(HostEventHandler& handler, HostServices& services)
    : m_handler(handler), m_services(services) {}

AlertPipeline::~AlertPipeline() {
    Stop();
    if (m_bOwnsAlerts && m_pAlerts != nullptr) {
        std::fclose(m_pAlerts);
    }
    if (m_pMessages != nullptr) {
        std::fclose(m_pMessages);
    }
}

bool AlertPipeline::Open(const std::string& alertsPath, const std::string& messagesPath,
                         std::string& error) {
    if (alertsPath.empty()) {
        m_pAlerts = stdout;
    } else {
        m_pAlerts = std::fopen(alertsPath.c_str(), "ab");
        if (m_pAlerts == nullptr) {
            error = "cannot open the alert file " + alertsPath;
            return false;
        }
        m_bOwnsAlerts = true;
    }
    if (!messagesPath.empty()) {
        m_pMessages = std::fopen(messagesPath.c_str(), "ab");
        if (m_pMessages == nullptr) {
            error = "cannot open the message file " + messagesPath;
            return false;
        }
    }
    return true;
}

void AlertPipeline::Start() { m_thread = std::thread([this] { Run(); }); }

void AlertPipeline::Stop() {
    if (!m_thread.joinable()) {
        return;
    }
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_bStop = true;
    }
    m_wake.notify_all();
    m_thread.join();
}

void AlertPipeline::Run() {
    std::unique_lock<std::mutex> guard(m_lock);
    while (!m_bStop) {
        guard.unlock();
        Drain();
        guard.lock();
        m_wake.wait_for(guard, std::chrono::milliseconds(kPollMs), [this] { return m_bStop; });
    }
    guard.unlock();
    Drain();
}

uint32_t AlertPipeline::Drain() {
    uint32_t written = 0;
    for (const HostEventHandler::TakenRecord& taken : m_handler.TakeRecords()) {
        if (Write(taken)) {
            ++written;
        }
    }
    return written;
}

bool AlertPipeline::Write(const HostEventHandler::TakenRecord& taken) {
    IPolicyEventInterface* policyEvent = m_handler.FindPolicyEvent(taken.name);
    ICSFAlertEvent* made =
        policyEvent != nullptr ? policyEvent->CreateAlertEvent(nullptr, taken.pRecord, kPolicyLevel)
                               : nullptr;
    if (made == nullptr) {
        // Without an alert event the record is still the host's.
        PIPELINE_LOG(kCSFLogWarning, "hwhost: no alert event for \"%s\"; the alert is dropped",
                     taken.name.c_str());
        DisposeRecord(taken.pRecord);
        m_qwDropped.fetch_add(1);
        return false;
    }
    std::unique_ptr<ICSFAlertEvent, AlertEventDestroyer> event(made);
    CSFAlertMessage message;
    std::string xml;
    uint32_t status = event->WriteMessage(&message);
    if (status != 0 || !MessageXml(message, xml)) {
        PIPELINE_LOG(kCSFLogError, "hwhost: the alert \"%s\" cannot be serialised (0x%08x)",
                     taken.name.c_str(), status);
        m_qwDropped.fetch_add(1);
        return false;
    }
    if (!xml.empty() && xml.back() != '\n') {
        xml += '\n';
    }
    xml += '\n';
    std::fwrite(xml.data(), 1, xml.size(), m_pAlerts);
    std::fflush(m_pAlerts);
    if (m_pMessages != nullptr) {
        std::fwrite(message.GetData(), 1, message.GetLength(), m_pMessages);
        std::fflush(m_pMessages);
    }
    if (m_pResponses != nullptr) {
        m_pResponses->Run(*policyEvent, *event);
    }
    m_qwWritten.fetch_add(1);
    return true;
}
