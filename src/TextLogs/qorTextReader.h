#pragma once
// Cuts a followed file into lines through one buffer: a line is handed out
// once its line feed has been written, whole, up to the longest line the
// caller takes; a longer one comes out in pieces of that length, and an
// unfinished last line waits for the rest, or is handed out as it is when
// the caller reads the file to its end before letting it go.  The buffer is
// there only while the file has bytes not yet handed out: a group may
// follow hundreds of files, most of them idle at any time.  It holds
// kBufferSize bytes, more only while a longer line is pending, and shrinks
// back once that line is out.  A run of NULs before a line (what a hole
// leaves, a cut under a writer without O_APPEND, or NULs written as data)
// is no part of the line: it is passed over at the speed of memory, as
// much of it as the file's share of a call allows, the rest in the next
// calls; a NUL within a line is the writer's and stays.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "TextLogs/qorFileReader.h"

class qorTextReader : public qorFileReader {
public:
    static constexpr int32_t kBufferSize = 16384;

    explicit qorTextReader(std::string strPath);
    ~qorTextReader() override;

    // Drops what is buffered, then opens as the base does.
    int32_t Open(int64_t llPosition) override;
    // The next line, line end included, as a view into the reader's buffer
    // valid until the next call: 1, 0 when no complete line is there yet,
    // negative when the file cannot be read.  A line with more than
    // `nMaxContent` bytes before its line end (LF, or CR LF) comes in
    // pieces of `nMaxContent` bytes, the first with `bCut` set.  With
    // `bToEnd` the bytes after the last line feed are handed out too, as
    // the file's last line, unless they all lie before the history's end
    // (GetHistoryEnd).
    virtual int32_t ReadLine(std::string_view& line, int32_t nMaxContent, bool bToEnd, bool& bCut);
    // Whether the buffer is there (bytes read and not yet handed out).
    bool HasBuffer() const { return m_pBuffer != nullptr; }
    // The buffer's size now (0 without one).
    int32_t GetBufferSize() const { return m_pBuffer != nullptr ? m_nCapacity : 0; }
    // The file offset of the first byte not yet handed out.
    int64_t GetLinePosition() const { return GetPosition() - (m_nEnd - m_nStart); }
    // True once after ReadLine found the file cut and went on where it
    // still holds what was read, dropping what of the unfinished line it
    // held the cut took; `cut` says what was lost.
    bool TakeCut(Cut& cut) {
        if (!m_bCut) {
            return false;
        }
        m_bCut = false;
        cut = m_Cut;
        return true;
    }
    // True once for each run of NULs before a line longer than a call
    // passes over (kPassOverPerCall): its lines come a call or more late.
    bool TakeNulRunHeldOver() { return std::exchange(m_bNulsHeldOver, false); }

private:
    // Moves the bytes not yet handed out to the front of the buffer, into
    // a buffer of kBufferSize again when they fit.
    void Compact();
    // Makes the buffer longer while a pending line fills it and may still
    // be taken whole (`nMaxContent` and its line end).
    void Grow(int32_t nMaxContent);
    // Reads what the buffer has room for; negative on a read failure.
    // `bMore`: it read as much as there was room for, so the file may hold
    // more.
    int32_t Fill(bool& bMore);
    // The first line feed of the bytes not yet handed out, or null.
    const char* FindNewline() const;
    // Passes over a run of NULs at the start of a line, in the buffer.
    void SkipHoleNuls();
    // What the cut took of the `nHeld` bytes held from `llLineStart` on,
    // of which the first `nKept` are still the file's where reading goes on.
    int64_t HeldAndTaken(int64_t llLineStart, int32_t nHeld, int32_t nKept) const;

    std::unique_ptr<char[]> m_pBuffer;
    int32_t m_nCapacity = 0;
    int32_t m_nStart = 0;
    int32_t m_nEnd = 0;
    // The pieces handed out are of a line longer than the caller takes.
    bool m_bInPieces = false;
    // The buffer was emptied by a run of NULs before a line, which may go
    // on in the file; one longer than a call passes over was said.
    bool m_bInNuls = false;
    bool m_bNulsHeldOver = false;
    bool m_bNulRunSaid = false;
    bool m_bCut = false;
    Cut m_Cut;
};
