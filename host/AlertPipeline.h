#pragma once
// The host's alert road: every record the event sink took is turned into
// an alert event by its rule's policy event, serialised as the host message
// (the 12-byte header and the tagged stream), and written out: the event's
// XML form as one document followed by an empty line, and, when asked for,
// the binary message.  The XML comes from the host's own reading of the
// message, so what is written is what a host receives.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>

#include "HostEventHandler.h"
#include "HostServices.h"

class ResponseRunner;

class AlertPipeline {
public:
    // How often the sink is looked at when nothing wakes the pipeline.
    static constexpr uint32_t kPollMs = 100;

    AlertPipeline(HostEventHandler& handler, HostServices& services);
    ~AlertPipeline();
    AlertPipeline(const AlertPipeline&) = delete;
    AlertPipeline& operator=(const AlertPipeline&) = delete;

    // Empty paths: XML to standard output, no binary messages.  False with
    // `error` set when a file cannot be opened.
    bool Open(const std::string& alertsPath, const std::string& messagesPath, std::string& error);
    // The responses each written alert's policy asks for are carried out
    // by `pRunner` (null: none); set before Start.
    void SetResponseRunner(ResponseRunner* pRunner) { m_pResponses = pRunner; }
    void Start();
    // Ends the thread after writing every record taken so far.
    void Stop();

    // Converts and writes what the sink holds now; answers how many alerts
    // were written.  The thread calls it; tests may call it without one.
    uint32_t Drain();

    uint64_t AlertsWritten() const { return m_qwWritten.load(); }
    uint64_t RecordsDropped() const { return m_qwDropped.load(); }

private:
    bool Write(const HostEventHandler::TakenRecord& taken);
    void Run();

    HostEventHandler& m_handler;
    HostServices& m_services;
    FILE* m_pAlerts = nullptr;
    bool m_bOwnsAlerts = false;
    FILE* m_pMessages = nullptr;
    ResponseRunner* m_pResponses = nullptr;
    std::mutex m_lock;
    std::condition_variable m_wake;
    bool m_bStop = false;
    std::thread m_thread;
    std::atomic<uint64_t> m_qwWritten{0};
    std::atomic<uint64_t> m_qwDropped{0};
};
