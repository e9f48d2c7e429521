#pragma once
// The host's alert road.  The sink hands every record it takes to the
// pipeline's intake, which, on the handing thread, has the record's policy
// event turn it into an alert event and has the response formatters make
// what the policy's responses need.  The record's rule and policy event are
// certainly alive while the engine hands the record over, and may be gone
// at any time after (a reload or stop deletes them); the alert event, once
// made, refers to neither, so it is what is queued.
//
// The pipeline's thread serialises each queued event as the host message
// (the 12-byte header and the tagged stream), which freezes it, and writes
// the event's XML form as one document followed by an empty line and, when
// asked for, the binary message; then it carries out the prepared responses
// and lets the event go.  The XML is the event's own rendering of what the
// message carries; the message is never read back.  Alerts are taken in
// batches (the first alert of a batch waits at most 10 ms for others), and
// what a batch makes is written and flushed together.
//
// The queue between the handing threads and the pipeline's thread holds at
// most a given number of alerts, and of bytes (what the alerts hold, as
// QueuedBytes weighs them): while it is full, a handing engine waits for
// room, so a flood of input backs up into the engine's own bounded input,
// which drops and counts, and never into the host's memory.  While a
// command runs (a start-up, a stop, a pause, a reload) nobody waits: an
// engine held here could not see the command that is ending it.  The queue
// then keeps to a larger count (16,384 alerts unless set) and to its
// bytes, which ordinary commands never reach: only an output that takes
// nothing while engines hand alerts in at full speed (a stop parsing what
// an engine's input queue holds) fills it.  An alert handed in past them
// is dropped at once, never waited for, and counted with the drops; the
// bound is said on the console and in the log at once, then once a minute,
// and listed at the stop (BoundsReached).  Before the pipeline's thread
// runs the queue keeps to that bound too; after its last drain nothing is
// queued, as nothing would write it: an alert then is dropped, counted.
//
// Each output (KeptOutput.h) is written without ever blocking in a write:
// standard output that is a pipe, a FIFO or a terminal is opened anew as the
// pipeline's own, a character device given as a file is opened
// non-blocking, and a socket is sent to without waiting.  While the sensor
// runs, an output that takes nothing yet is waited for as long as it takes,
// so a slow reader loses nothing (the engines wait on the full queue
// meanwhile).  Once a stop has begun, an output that takes nothing for the
// stop wait (10 s unless set), or is still taking alerts six stop waits
// after the stop began, is given up: what it has not taken is counted as
// not written, logged with the reason, and the pipeline ends all the same.
// An output whose reader closed its end (a pipe, FIFO or socket) is given
// up as soon as a write finds it so: it is logged once, and the alerts made
// after are counted as not written rather than kept in memory.
//
// An output file is followed by its path (FollowedFile.h), which it keeps
// through any failure: a name another account took in a shared folder (a
// FIFO put there after a rotation) is taken back and the file made anew,
// and a file that cannot be opened or written (its folder replaced by a
// file, a full or read-only file system) is tried again once a second, by
// the pipeline's thread, until it can be: no signal is needed.  The failure
// is said on the console and in the log at once, then counted once a
// minute, and its end is said.  What waits meanwhile is kept up to a limit
// (64 MiB unless set); the alerts past it are dropped, said at once and
// then once a minute, on the console and in the log, and listed at the
// stop (BoundsReached).
//
// An output never holds part of a document or message: a file that takes
// only part of one (a full disk) has the piece cut off its end again and
// the alert is kept whole, so a stop, or a file moved away meanwhile, ends
// with a whole document and the next file begins with one.  What a pipe,
// FIFO or terminal took cannot be taken back: the rest goes to it first.
//
// Only the type 600 message is written: hwhost keeps the sensor on that
// form and never selects the Qg form, whose messages it would drop.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "DeliveryProblems.h"
#include "HostBound.h"
#include "HostEventHandler.h"
#include "HostServices.h"
#include "KeptOutput.h"
#include "ResponseRunner.h"
#include "qorToolsLib/ReportLimiter.h"

class AlertPipeline final : public AlertIntake {
public:
    explicit AlertPipeline(HostServices& services);
    ~AlertPipeline();
    AlertPipeline(const AlertPipeline&) = delete;
    AlertPipeline& operator=(const AlertPipeline&) = delete;

    // Empty paths: XML to standard output, no binary messages.  False with
    // `error` set when a file cannot be opened (a symbolic link or another
    // account's file at the path is refused).
    bool Open(const std::string& alertsPath, const std::string& messagesPath, std::string& error);
    // Asks for the files to be opened again by their paths (a rotation's
    // SIGHUP): the pipeline does so before it next writes.  A file removed,
    // or renamed away, is opened anew without asking.
    void Reopen() { m_bReopenAsked.store(true); }
    // The responses each alert's policy asks for are prepared and carried
    // out by `pRunner` (null: none); set before the sensor starts.
    void SetResponseRunner(ResponseRunner* pRunner) { m_pResponses = pRunner; }
    void Start();
    // Says that a stop has begun: from now on an output that takes nothing
    // for the stop wait is given up (see above).  Stop says so too.
    void BeginStop();
    // Ends the thread after writing every alert taken so far, or as much of
    // it as the outputs take within the stop wait; what they did not take
    // is counted and logged.  An alert handed in after the thread's last
    // drain (by an engine the stop did not end) is dropped, counted and
    // said as a delivery problem.
    void Stop();

    // The stop wait; set before the sensor starts.
    static constexpr std::chrono::milliseconds kDefaultStopWait{10000};
    void SetStopWait(std::chrono::milliseconds wait);

    // The alerts the queue holds at most; set before the sensor starts.
    // Each holds its event with every value, some kilobytes, so under a
    // flood the queue is most of what the host holds: more room buys no
    // speed once the outputs are the slower side.
    static constexpr size_t kDefaultQueueLimit = 1024;
    void SetQueueLimit(size_t limit);
    // What may wait for output files that cannot be written (a full disk)
    // before further alerts are dropped, counted; set before the sensor
    // starts.
    static constexpr size_t kDefaultKeptLimit = KeptOutput::kDefaultKeptLimit;
    void SetKeptLimit(size_t bytes);
    // The alerts the queue holds at most while it holds no handing thread
    // (a command runs, or the pipeline's thread does not), and what they
    // may hold in all (QueuedBytes); those past either are dropped,
    // counted.  The count is never below the queue's limit; set both
    // before the sensor starts.  An alert holds 4 KiB or more: 16,384 of
    // the least, 64 MiB, as much as an output file may keep.  A handing
    // thread held by the queue also waits while it holds the bytes.
    static constexpr size_t kDefaultCommandQueueLimit = 16 * kDefaultQueueLimit;
    static constexpr size_t kDefaultQueueBytes = 64u << 20;
    void SetCommandQueueLimit(size_t limit);
    void SetQueueBytes(size_t bytes);
    // What an alert made of `record` holds while queued, near enough: its
    // event and record some 4 KiB, and each text of the record's pairs and
    // variables twice, the record's own and the event's copy.
    static size_t QueuedBytes(const AgentEventInfo& record);
    // Around each command to the sensor: between the two, handing threads
    // are not held by a full queue, and those waiting now go on.
    void BeginCommand();
    void EndCommand();

    void Accept(AgentEventInfo* pRecord, const CSFEventInfo& info,
                const PolicyEventRef& pPolicyEvent) override;

    // Writes what is queued now, and tries again what the outputs kept
    // when that is due (once a second while an output fails; `bLastTry`:
    // now, as the stop does); answers how many alerts were written.  The
    // thread calls it; tests may call it without one.
    uint32_t Drain(bool bLastTry = false);

    // Alerts written whole; after Stop, those an output did not take are
    // no longer among them.
    uint64_t AlertsWritten() const { return m_qwWritten.load(); }
    // After Stop: the alerts the alert output did not take, and for each
    // output that left some unwritten the line logged for it
    // ("hwhost: 12 alerts not written: the alert output took nothing for
    // 10 s").
    uint64_t AlertsNotWritten() const { return m_qwNotWritten.load(); }
    const std::vector<std::string>& NotWrittenReports() const { return m_notWrittenReports; }
    uint64_t RecordsDropped() const { return m_qwDropped.load(); }
    // Why alerts were dropped before they reached the outputs (no policy
    // event under their name, an event that cannot be serialised), each
    // said on the console at once and counted for the stop.
    const DeliveryProblems& Problems() const { return m_problems; }
    // Each bound that left alerts out, the queue's and each output's, as
    // the stop lists it ("Bound reached: alert file ...: at most 64 MiB
    // kept while it cannot be written; 12 alerts left out").
    std::vector<std::string> BoundsReached() const;
    // Alerts queued and not yet taken by the pipeline's thread.
    size_t Queued();
    // Handing threads waiting for room now, and how often one has waited.
    size_t Waiting();
    uint64_t Waits() const { return m_qwWaits.load(); }
    // The most alerts queued at once while the queue's limit held the
    // handing threads (the pipeline's thread running, no command), and
    // while it held none (a command or the stop ran); the stop logs both
    // ("hwhost: the alert queue held at most 1024 alerts while it held the
    // engines (bound 1024), at most 3000 while a command or the stop ran
    // (bound 16384)").
    size_t MostQueued();
    size_t MostQueuedInCommands();

private:
    struct AlertEventDestroyer {
        void operator()(ICSFAlertEvent* pEvent) const;
    };
    using AlertEventPtr = std::unique_ptr<ICSFAlertEvent, AlertEventDestroyer>;

    // An alert as the sensor's objects left it: its event, which owns the
    // record but needs neither its rule nor its policy event any more, and
    // the responses made ready from both.
    struct FinishedAlert {
        std::string m_strName;
        AlertEventPtr m_pEvent;
        std::vector<PreparedResponse> m_responses;
        size_t m_nBytes = 0;
    };

    bool Finish(AgentEventInfo* pRecord, const char* pszName, IPolicyEventInterface* pPolicyEvent,
                FinishedAlert& finished);
    // Appends the alert's document (and its message) to what waits for
    // the outputs; false, counted, when it cannot be written.
    bool Render(FinishedAlert& finished);
    // Writes and flushes what the rendered alerts of a batch made.
    void Flush(bool bLastTry = false);
    // How long the thread may wait before an output is due again.
    std::chrono::milliseconds RetryWait() const;
    // The line the stop logs for an output that left alerts unwritten.
    uint64_t CountNotWritten(KeptOutput& output);
    // With m_lock held: waits while the queue is full and a handing thread
    // may be held.
    void WaitForRoom(std::unique_lock<std::mutex>& guard);
    // With m_lock held: a full queue holds a handing thread now.
    bool LimitHolds() const { return m_bRunning && !m_bStop && !m_bCommandRunning; }
    // The queue's bound while it holds nobody, and the words it is said
    // with.
    size_t CommandQueueLimit() const;
    void MakeCommandBound();
    // With m_lock held: the queue takes an alert of `bytes` while it holds
    // nobody; an empty queue takes any.
    bool HasRoomUnheld(size_t bytes) const;
    size_t GatherCount() const;
    void Run();

    HostServices& m_services;
    // Said in the log, and on the console when the level asks for it.
    KeptOutput::Say m_say;
    KeptOutput m_alertsOut{{"alert", "cannot open the alert file", "cannot write the alert file",
                            "alert file", "alerts", "alerts"},
                           m_say};
    KeptOutput m_messagesOut{{"message", "cannot open the message file", "cannot write the message file",
                              "host message file", "alerts", "host messages"},
                             m_say};
    std::atomic<bool> m_bReopenAsked{false};
    ResponseRunner* m_pResponses = nullptr;
    std::mutex m_lock;
    std::condition_variable m_wake;
    std::vector<FinishedAlert> m_queue;
    // Handing threads wait on it for room in the queue.
    std::condition_variable m_room;
    size_t m_nQueueLimit = kDefaultQueueLimit;
    size_t m_nCommandQueueLimit = kDefaultCommandQueueLimit;
    size_t m_nQueueBytes = kDefaultQueueBytes;
    // What the queued alerts hold (QueuedBytes).
    size_t m_nQueuedBytes = 0;
    size_t m_nWaiting = 0;
    size_t m_nMostQueued = 0;
    size_t m_nMostQueuedInCommands = 0;
    // Alerts past the bound of the time the queue holds nobody; made anew
    // when a limit is set.
    std::unique_ptr<HostBound> m_pCommandBound;
    // Engines held by the queue are logged at most once a minute.
    ReportLimiter m_waitReports;
    DeliveryProblems m_problems{m_services};
    // The pipeline's thread runs: only then does a full queue hold anyone.
    bool m_bRunning = false;
    bool m_bCommandRunning = false;
    // Events written, waiting to be let go by the next handing thread.
    std::vector<AlertEventPtr> m_spent;
    // What Drain is writing; the pipeline thread's alone, its room kept
    // from batch to batch, as is that of the outputs' documents and
    // messages.
    std::vector<FinishedAlert> m_batch;
    bool m_bStop = false;
    // The thread's last drain has taken the queue: nothing queued after it
    // would be written.
    bool m_bEnded = false;
    std::thread m_thread;
    std::atomic<uint64_t> m_qwWritten{0};
    std::atomic<uint64_t> m_qwDropped{0};
    std::atomic<uint64_t> m_qwWaits{0};
    std::atomic<uint64_t> m_qwNotWritten{0};
    std::vector<std::string> m_notWrittenReports;
    // The steady clock's count when the stop began; 0 before.
    std::atomic<int64_t> m_llStopBegan{0};
};
