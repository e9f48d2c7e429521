#pragma once
// What became of the scripts the handler sends the script process after a
// policy load: the process compiles each one as it comes and answers with
// the interpreter's words when it cannot, long after the load itself was
// checked.  The summary of the start-up or reload that started the handler
// waits (up to a bound) for the process's answer to every script, so that
// a script that does not compile is among what that load said, and
// `hwhost push` says it and fails.  What comes later (the answers after
// that wait, or those of a process started again after a crash) is said
// by the handler's thread as soon as it is known.
//
// Each refusal is said once, as an error on the console and in the log,
// naming the rule, the part of its script and the interpreter's words, and
// what becomes of the rule's alerts.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

class tclScriptReport {
public:
    // The rules' scripts are about to be sent to a new process; with
    // `bSummaryWaits` the summary of the command that started them will
    // take what the process says of them.
    void BeginLoad(bool bSummaryWaits);
    // A new process is about to get the scripts again.
    void BeginSending();
    // The process refused a script or failed a run: `strShort` names it
    // for the summary ("rule R (Validation)"), `strText` is the operator's
    // line, said at once unless the scripts are still being sent.
    void NoteRefused(const std::string& strShort, const std::string& strText);
    // Every script has its answer, or will not get one: said now unless
    // the summary takes it.
    void Publish();

    // For the summary the load expected, waits up to `wait` while the
    // scripts are being sent; says the refusals not said yet (as errors,
    // on the calling thread) and answers what the summary adds to "on":
    // "" when every script was taken.  `pbTaken`, when given, says whether
    // this was that summary and the process answered every script in time.
    std::string Describe(std::chrono::milliseconds wait, bool* pbTaken = nullptr);
    // What a summary would add to "on" now, for a look at the status that
    // is no load's summary: it neither waits nor takes the summary's place.
    std::string Peek();

    // The refusals of the scripts sent last, for the summary.
    size_t RefusedCount();

    // Lines kept for one load at most; the others are counted.
    static constexpr size_t kMaxRefusals = 100;

private:
    // The refusals not said yet, taken.
    std::vector<std::string> TakeUnsaidLocked();
    // `strNote` with the refusals of the scripts sent last added (m_Lock
    // held).
    std::string NoteLocked(std::string strNote) const;
    static void Say(const std::vector<std::string>& texts);

    std::mutex m_Lock;
    std::condition_variable m_Changed;
    bool m_bSending = false;
    bool m_bSummaryWaits = false;
    std::vector<std::string> m_Refused;
    size_t m_nRefusedUncounted = 0;
    std::vector<std::string> m_Unsaid;
};
