#pragma once
// Whole-file reads and replacement of a file through a temporary one, so a
// reader never sees a half-written file and a failed write never costs the
// good copy.  Errors are answered in the numbering of LastError.h and also
// left as the thread's last error.

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/Files.h"

namespace plat {

enum class FileStep {
    kNone,    // nothing failed
    kOpen,    // the file (or the temporary file) could not be opened or created
    kRead,    // reading failed after the open
    kWrite,   // writing, forcing to disk or closing the temporary file failed
    kMove,    // the temporary file could not replace the target
};

// Reads the whole file into `out`, opened as Files.h's OpenFileToRead
// opens it for `owners` (by default only a regular file of root or this
// account: a FIFO, a device, another account's file or link is refused,
// and `why`, when given, says so).  Answers 0, or the error with `failed`
// telling whether the open or a later read failed; `out` is empty after a
// failure.  With `limit` no more than `limit` + 1 bytes are read, so a
// caller learns that the file is larger than it takes without holding it
// all.
uint32_t ReadWholeFile(const std::string& path, std::string& out, FileStep* failed,
                       uint64_t limit = UINT64_MAX, std::string* why = nullptr,
                       Owners owners = Owners::kOwn);

// Replaces `path` by `bytes`: removes an old `tempPath`, creates it with the
// mode of the existing file (0644 for a new one; always `stateMode` when it
// is given, for files others may not read), writes every byte, forces
// it to disk, renames it over `path` and forces the directory entry.  On a
// failed write the temporary file is removed and `path` is untouched; on a
// failed move the temporary file stays.  Answers 0 or the error, with the
// failed step in `failed` and, when given, the reason in words in `why`.
// A `path` or `tempPath` that is another account's symbolic link or file
// is refused at the open step (OwnFiles.h) and left as it is.
uint32_t ReplaceFileDurably(const std::string& path, const std::string& tempPath,
                            std::string_view bytes, FileStep* failed, std::string* why = nullptr,
                            unsigned stateMode = 0);

}  // namespace plat
