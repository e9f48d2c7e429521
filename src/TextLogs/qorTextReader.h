#pragma once
// Cuts a followed file into lines through one buffer: a line is handed out
// once its line feed has been written, a line longer than the caller's room
// comes out in pieces, and an unfinished last line waits for the rest.  The
// buffer is there only while the file has bytes not yet handed out: a
// group may follow hundreds of files, most of them idle at any time.

#include <cstdint>
#include <memory>
#include <string>

#include "TextLogs/qorFileReader.h"

class qorTextReader : public qorFileReader {
public:
    static constexpr int32_t kBufferSize = 16384;

    explicit qorTextReader(std::string strPath);
    ~qorTextReader() override;

    // Drops what is buffered, then opens as the base does.
    int32_t Open(int64_t llPosition) override;
    // Copies the next line, line feed included, into `pOut` and answers its
    // length, with a NUL after it when it is shorter than `nMaximum`.  A
    // longer line gives its first `nMaximum` bytes (no NUL) and the rest
    // at later calls.  0 when no complete line is there yet; negative when
    // the arguments are bad or the file cannot be read.
    virtual int32_t ReadLine(char* pOut, int32_t nMaximum);
    // Whether the buffer is there (bytes read and not yet handed out).
    bool HasBuffer() const { return m_pBuffer != nullptr; }
    // The file offset of the first byte not yet handed out.
    int64_t GetLinePosition() const { return GetPosition() - (m_nEnd - m_nStart); }
    // True once after ReadLine found the file cut back and started again at
    // its beginning, dropping the unfinished line it held; `cut` says what
    // was lost.
    bool TakeCut(Cut& cut) {
        if (!m_bCut) {
            return false;
        }
        m_bCut = false;
        cut = m_Cut;
        return true;
    }

private:
    // Moves the bytes not yet handed out to the front of the buffer.
    void Compact();
    // Reads what the buffer has room for; negative on a read failure.
    int32_t Fill();
    // The first line feed of the bytes not yet handed out, or null.
    const char* FindNewline() const;

    std::unique_ptr<char[]> m_pBuffer;
    int32_t m_nStart = 0;
    int32_t m_nEnd = 0;
    bool m_bCut = false;
    Cut m_Cut;
};
