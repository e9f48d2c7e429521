#pragma once
// The hits of one rule a correlation rule watches, within its window.
//
// Whoever can make the watched rule alert (a syslog sender, another account
// writing a watched log) decides how many hits come and what value each
// keeps, so what is kept is bounded: at most kMaxKept entries keep their
// value, and the values at most kMaxKeptBytes in all.  Past that the oldest
// entries are folded: their hits are still counted, under their time, but
// their value is let go.  A rule decides on the number of hits and their
// times only, never on the values, so a fold changes no decision as long as
// each folded second keeps an entry of its own.  Folded hits of one
// `granule` share an entry under the newest time among them, so that a
// window of any length holds at most about kFoldedEntries of them; with a
// granule above a second they leave the window up to a granule late, never
// early (see FoldGranule).
//
// Hits come in time order unless the clock was set back; a late one goes
// where its time puts it, so the front is always the oldest and leaves
// first.  A steady stream allocates nothing per hit once the entries have
// grown: the entries' value buffers are reused.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

class CCorrelationRuleHits {
public:
    static constexpr size_t kMaxKept = 1024;
    static constexpr size_t kMaxKeptBytes = 256 * 1024;
    // A value longer than this is never kept: its hit is folded at once.
    static constexpr size_t kMaxValueBytes = kMaxKeptBytes / 4;
    static constexpr int64_t kFoldedEntries = 4096;

    // The seconds of folded hits that share an entry in a window of
    // `nWindow` seconds: 1 up to kFoldedEntries seconds, more above.
    static int64_t FoldGranule(int32_t nWindow);

    // One more hit at `tTime` with `strValue`; folded hits share an entry
    // per `tGranule` seconds.  Answers how many hits lost a value to make
    // room (this one included when it could not be kept); hits without a
    // value lose nothing.
    uint64_t Add(int64_t tTime, const std::string& strValue, int64_t tGranule);
    // Lets the hits older than `tCutoff` go; answers how many went.
    uint64_t Expire(int64_t tCutoff);
    void Clear();

    // Every hit counted, kept with its value or folded.
    uint64_t Count() const { return m_qwCount; }
    // Hits kept with their value, and the entries they take.
    uint64_t KeptCount() const;
    size_t KeptEntries() const { return m_nKept; }
    size_t KeptBytes() const { return m_nKeptBytes; }
    size_t FoldedEntries() const { return m_Folded.size(); }
    // The value of kept entry `nIndex`, oldest first.
    const std::string& KeptValue(size_t nIndex) const { return At(nIndex).m_strValue; }

private:
    // `m_dwCount` hits that came in one second with one value.
    struct Kept {
        int64_t m_tTime = 0;  // seconds since 1970
        uint32_t m_dwCount = 0;
        std::string m_strValue;
    };
    // Hits whose value was let go, under the newest time among them.
    struct Folded {
        int64_t m_tTime = 0;
        uint64_t m_qwCount = 0;
    };
    // A value buffer up to this size stays with its entry for the next
    // value; a larger one is let go with its value.
    static constexpr size_t kReusedBuffer = 256;

    Kept& At(size_t nIndex) { return m_Ring[(m_nHead + nIndex) % m_Ring.size()]; }
    const Kept& At(size_t nIndex) const { return m_Ring[(m_nHead + nIndex) % m_Ring.size()]; }
    // Folds the oldest kept entry; answers its hits that lost a value.
    uint64_t FoldOldest(int64_t tGranule);
    void AddFolded(int64_t tTime, uint64_t qwCount, int64_t tGranule);
    // Empties a kept entry's value, keeping a small buffer for reuse.
    void Release(Kept& entry);
    // Room for one more kept entry, the ring grown while below kMaxKept.
    void MakeRoom();
    // Puts a free entry at kept position `nAt`, moving the later ones back.
    Kept& InsertAt(size_t nAt);

    // The kept entries are a ring of m_nKept from m_nHead.
    std::vector<Kept> m_Ring;
    size_t m_nHead = 0;
    size_t m_nKept = 0;
    size_t m_nKeptBytes = 0;
    std::deque<Folded> m_Folded;
    uint64_t m_qwCount = 0;
};
