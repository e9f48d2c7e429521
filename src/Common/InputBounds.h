#pragma once
// What one input may take of the sensor is bounded: the files a log group
// follows, the values a correlation rule keeps, the runs waiting for the
// script process, and so on.  An input that reaches its bound is said at
// once, on the console and in the log, naming the input and the bound, and
// then at most once a minute for as long as it keeps reaching it; what the
// bound left out is counted, and every bound reached is listed in the
// summary of each policy load (and so by `hwhost push` and in
// hwhost.status) and at the stop.
//
// An input's code keeps the handle of its bound and calls LeftOut for
// every item the bound turns away, folds or refuses.  Its items are "left
// out" unless the bound names what else became of them ("matched in
// pieces").  LeftOut costs an
// atomic add and a clock read; the report is written on the calling thread
// when one is due.  Between the reports the host is told, at most every
// kCountNoticeInterval for all bounds together, that the counts it shows
// (in hwhost.status) have grown (CSFNoticeDescriptionChanged), so that it
// asks for them again.
//
//   InputBound& bound = InputBounds::Instance().Bound(
//       "log group Web", "at most 512 files followed", "files");
//   ...
//   bound.LeftOut();
//
// says "Bound reached: log group Web: at most 512 files followed; 1 file
// left out".
//
// A policy load (start-up, reload, and so a push) is watched as a whole
// (BeginLoad, EndLoad): every bound that left anything out while it ran is
// said at its end with what it left out meanwhile, as a warning of that
// load, however often the bound was said before ("...; 37 datagrams left
// out during the reload"), so that what a push cost is never passed over.
// A bound first reached during the load is said at once as ever (and at
// the end only for what it left out after that); one reached before it is
// said at the end only.  A load that puts a policy in force also starts
// each bound's reports anew: the next item it leaves out is said at once, a
// finding about the policy now in force, as the first one was about the
// policy before.
//
// A bound lasts as long as its input: a group, port or ring that a load
// removes, or a rule it leaves out, takes its bounds with it (End, EndInput,
// EndRulesExcept), so that neither the engine lines, nor the record of the
// policy in force, nor the stop still carry them; the finding said when
// the bound was first reached is taken back from the host's.  An input
// that comes back, and so a handle kept through that, counts afresh.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "qorToolsLib/BoundTally.h"

class InputBound {
public:
    using Clock = std::chrono::steady_clock;
    using TimeSource = Clock::time_point (*)();
    static constexpr Clock::duration kReportInterval = BoundTally::kReportInterval;
    static constexpr Clock::duration kCountNoticeInterval = std::chrono::seconds(10);
    // What the items a bound turns away are to the stop's tally: lost, or
    // no loss of the sensor's (they still reach it another way, or a count
    // of their own holds them): an alert passed on unvalidated, or dropped
    // and counted with the scripted alerts; a connection reported at once
    // rather than held; a long line matched in pieces; the rest of a run of
    // NULs read at the passes after; a packet a repeat filter forgot, whose
    // repeats alert again.  Either is said with its bound.
    enum class Fate { kLost, kNotLost };

    InputBound(std::string input, std::string limit, std::string what, std::string done, TimeSource now,
               Fate fate = Fate::kLost);
    InputBound(const InputBound&) = delete;
    InputBound& operator=(const InputBound&) = delete;

    // `qwItems` more items of the input were left out.  Says so at once the
    // first time, then at most once per kReportInterval.
    void LeftOut(uint64_t qwItems = 1);

    // A look at the input found `qwNow` items left out, of which those the
    // last look at this bound found are not counted again (ScanBound.h).
    void LeftOutAtLook(uint64_t qwNow);

    uint64_t Total() const { return m_Tally.Total(); }
    const std::string& Input() const { return m_Words.m_strInput; }
    const std::string& Limit() const { return m_Words.m_strLimit; }
    // The rule whose input it is; empty for another input.
    const std::string& Rule() const { return m_strRule; }
    // "Bound reached: <input>: <limit>; <n> <what> left out".
    std::string Describe() const;

    static constexpr const auto& kPrefix = BoundWords::kPrefix;
    static constexpr const auto& kLeftOut = BoundWords::kLeftOut;
    // How the first report of a bound ends, which the host recognises.
    static constexpr const auto& kSaidAgain = BoundWords::kSaidAgain;

private:
    friend class InputBounds;
    // Its input is gone: the counts start again from nothing, and the
    // finding its first report made is taken back.
    void End();

    const BoundWords m_Words;
    const Fate m_fate;
    std::string m_strRule;  // set once, under the table's lock
    TimeSource m_now;
    BoundTally m_Tally;
    // What the last look found (LeftOutAtLook).
    std::atomic<uint64_t> m_qwLastLook{0};
};

class InputBounds {
public:
    static InputBounds& Instance();

    // The handle of `input`'s bound `limit`, whose items are called
    // `pszWhat` ("files", "values", "runs").  The same input and limit give
    // the same handle; handles live as long as the process.  Past
    // kMaxBounds distinct ones, every further input shares one handle named
    // "other inputs" for its limit, so the table of bounds is bounded too.
    // `strRule` names the rule whose input it is, for EndRulesExcept;
    // `pszDone` what became of the items (null: InputBound::kLeftOut);
    // `fate` whether the stop's tally counts them as lost.  The first ask
    // for an input and limit sets both.
    InputBound& Bound(const std::string& input, const std::string& limit, const char* pszWhat,
                      const std::string& strRule = std::string(), const char* pszDone = nullptr,
                      InputBound::Fate fate = InputBound::Fate::kLost);
    static constexpr size_t kMaxBounds = 256;

    // The input of `bound` is gone; or every bound of `input` is, but those
    // of the limits `keep` (the limits a load kept where it changed others).
    void End(InputBound& bound);
    void EndInput(const std::string& input, const std::vector<std::string>& keep = {});
    // A load took the rules `rules` (by name): the bounds of every other
    // rule's input end.
    void EndRulesExcept(const std::vector<std::string>& rules);

    // One line per bound that left something out, in the order the bounds
    // were first asked for.
    std::vector<std::string> Describe() const;
    // The stop's summary: each of those lines as a warning, "at the stop:
    // Bound reached: ...", and what the bounds whose items are lost count
    // told to the host for the stop's tally, summed by the words of the
    // items and their fate ("; 311922 datagrams left out at the inputs'
    // bounds").
    void SayAtStop() const;
    static constexpr const char kAtBounds[] = " at the inputs' bounds";

    // A policy load begins (on the command thread, before anything of it).
    void BeginLoad();
    // It ends, before its request is completed: each bound that left
    // something out since BeginLoad is said as a warning, with what it
    // left out meanwhile ("...; <n> <what> <done> during the <pszLoad>"),
    // unless the bound's first report, made during the load, said it all.
    // With `bNewPolicy` (the load put a policy in force) every bound's
    // next item is said at once again.
    void EndLoad(const char* pszLoad, bool bNewPolicy);

    // For tests: the clock of bounds made from now on (null: the steady
    // clock), and a table emptied of the bounds made so far (their handles
    // stay valid but are no longer listed).
    void SetTimeSourceForTest(InputBound::TimeSource now);
    void ForgetForTest();

private:
    InputBounds() = default;
    // The bounds listed now that `which` picks.
    template <typename Which>
    std::vector<InputBound*> Listed(const Which& which);

    mutable std::mutex m_lock;
    std::deque<InputBound> m_bounds;
    std::map<std::pair<std::string, std::string>, InputBound*> m_byName;
    size_t m_nListedFrom = 0;
    InputBound::TimeSource m_now = nullptr;
};

// The handle of one bound, kept by the input that reaches it: asked for at
// the first item left out, so an input that never reaches its bound takes
// no place in the table, and kept from then on, so an input held at its
// bound for every item of a flood (a packet, an event, a connection)
// builds no names and takes no lock per item.  Any thread may call
// LeftOut; two that find no handle yet both ask, and get the same one.
//
//   InputBoundHandle m_FilterBound;
//   m_FilterBound.LeftOut([&]() -> InputBound& {
//       return InputBounds::Instance().Bound("rule " + GetName(), ..., "packets");
//   });
class InputBoundHandle {
public:
    // `qwItems` more items left out at the bound `find` answers; `find` is
    // called only while no handle is kept.
    template <typename Find>
    void LeftOut(const Find& find, uint64_t qwItems = 1) {
        InputBound* pBound = m_pBound.load(std::memory_order_acquire);
        if (pBound == nullptr) {
            pBound = &find();
            m_pBound.store(pBound, std::memory_order_release);
        }
        pBound->LeftOut(qwItems);
    }

    // The input is gone: its bound, when it reached one, ends.
    void End() {
        if (InputBound* pBound = m_pBound.load(std::memory_order_acquire)) {
            InputBounds::Instance().End(*pBound);
        }
    }

private:
    std::atomic<InputBound*> m_pBound{nullptr};
};
