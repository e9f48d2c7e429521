#pragma once
// Sleeping on a 32-bit word of a mapping another process writes, until
// that process says it wrote (a wake on the same word) or a time runs out.
// The word's value is only ever compared with the one the caller last saw:
// whatever a writer puts there, or however often it changes it, costs the
// sleeper a wake-up, never a wrong reading.  A wake on a word that nobody
// sleeps on costs one system call and nothing else.

#include <cstdint>

namespace plat {

enum class SharedWordWait {
    kWoken,     // a wake came, or the word no longer held `dwSeen`
    kTimedOut,  // the time ran out
    kFailed,    // the word could not be waited on (not mapped): nothing slept
};

// Sleeps while the word at `pWord` holds `dwSeen`, at most `dwMs`
// milliseconds.  The word must be 4-byte aligned in a mapping shared with
// the writer (a private or cut mapping sleeps out its time).
SharedWordWait WaitSharedWord(const uint32_t* pWord, uint32_t dwSeen, uint32_t dwMs);
// Wakes every sleeper on the word, of any process that maps it.
void WakeSharedWord(const uint32_t* pWord);

}  // namespace plat
