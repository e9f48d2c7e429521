#pragma once
// The link with the web-server module: an event ring ("QGEvShm", guarded by
// "QGEvMutex") into which the module writes one message per detection, and
// a configuration area ("QGConfShm", guarded by "QGConfMutex") that only the
// sensor writes.  Both sides use these functions; the process-side state
// (the two segments and the attached flag) is one set per process.
//
// The ring is written by another process, so every header field and every
// record length read from it is checked before it is used: a torn or
// hostile ring is reset to empty (with the overflow flag set so the module
// sees the loss) and never makes the reader go out of bounds.
//
// A member of the web-server group can also cut an area or a lock short
// (ftruncate).  The access that meets the cut reads zeros instead of ending
// the process (platform/HostileMapping.h); the turn fails, the cut is said
// once, and the owner maps the objects again (WebShmMapAgain).

#include <cstddef>
#include <cstdint>
#include <string>

#include "ApacheEngine/WebShmFormat.h"
#include "platform/SharedWord.h"

// The environment variable naming the group whose members may open the
// objects the sensor makes (the web server's account is one); unset or
// empty, only the sensor's own account may.
constexpr const char kWebGroupVariable[] = "HW_WEB_GROUP";

// 0 on success or when already attached, 1 on failure.  The objects'
// names are in the process's object scope (platform/NamedObject.h).  With
// `bCreate` the segments are made when missing, opened to the group
// kWebGroupVariable names (a group that does not exist is refused), and
// the ring is reset to empty; the whole messages it held then, which no
// one will read, are counted in `pdwCleared` when given.  A failure is said
// on standard output, and in `pProblem` when given.
int WebShmAttach(bool bCreate, uint32_t* pdwCleared = nullptr, std::string* pProblem = nullptr);
// 1 when not attached, else 0.  The segments stay for the other side.
int WebShmDetach();
bool WebShmIsAttached();

// Whether another account cut an area or a lock short under this process:
// their ends are read first, so a cut anywhere is found now, and a cut not
// said yet is said (standard error and the log, naming the object).  Every
// turn on a cut segment fails until WebShmMapAgain.
bool WebShmIsCut();
// As WebShmIsCut, for the configuration area and its lock only, without
// reading their ends.
bool WebShmConfigCut();
// Maps every area and lock that was cut short again; the sensor's own are
// first made whole (the bytes past the cut read zero, a lock's counts are
// laid out afresh).  A ring or configuration area that was cut is laid out
// as its maker lays it out; `bConfigCut` tells the caller to write the
// configuration again.  0 on success; 1, with what could not be mapped in
// `pProblem`, when one cannot be: the process is then detached.
int WebShmMapAgain(bool& bConfigCut, std::string* pProblem = nullptr);

// Empties the ring, as a stop leaves it: the whole messages it held, which
// no one will read, are answered; kWebRingNotEmptied when it is not open,
// its lock was not had, or it was cut short.
constexpr uint32_t kWebRingNotEmptied = UINT32_MAX;
uint32_t WebShmEmptyRing();

// Takes the next message from the ring into the caller's record and class
// buffer (room for kWebMaxClassLength bytes), allocating nothing.  True
// when a message was taken; false when the ring is empty, was found
// damaged (and reset), its lock was not had, it was cut short, or this
// process is not attached.  Every call that reaches the ring clears its
// overflow flag and the module's count of dropped events; `pbReached`,
// when given, tells whether this one did (the ring taken from, found
// empty, or found damaged and reset), as against a turn that failed
// before it.  `pbOverflowed`, when given, tells whether the module had set
// the flag since the last read: it could not write an event for want of
// room.  `pdwDropped`, when given, is how many it could not write, as it
// counted them (kWebEvDropped; 0 from a module that does not count, the
// flag then being all that is known).
bool WebShmReadEvent(WebEventRecord& record, char* pClassText, int32_t& nClassLength, bool* pbReached = nullptr,
                     bool* pbOverflowed = nullptr, uint32_t* pdwDropped = nullptr);

// The reader's sleep between looks: after a read that found the ring
// empty, sleeps until the module writes (its wake on the write offset) or
// `dwMs` milliseconds pass.  kWoken also when the ring changed before the
// sleep began; kFailed when no sleep could be had (not attached, no empty
// ring seen since the last read, or the word could not be waited on): the
// caller then waits its own way.  The word's value is never read as data.
plat::SharedWordWait WebShmAwaitWrite(uint32_t dwMs);
// Ends the sleep of this process's reader at once (a stop, a pause); any
// thread may call it.
void WebShmWakeReader();

// The reader's work on one ring view of kWebEvShmSize bytes, the caller
// holding its mutex: takes one message (kTaken), finds none (kEmpty), or
// finds the header or the message inconsistent (kDamaged: the ring is then
// empty and its overflow flag set).
enum class WebRingResult { kEmpty, kTaken, kDamaged };
WebRingResult WebRingTake(uint8_t* pRing, WebEventRecord& record, char* pClassText, int32_t& nClassLength);
// The messages WebRingTake would take one after another from the ring
// before it finds it empty or damaged, counted without taking them.
uint32_t WebRingCountWaiting(const uint8_t* pRing);

// The module's side: appends one message (the record's class length bytes
// of `pClassText` follow it), waking the reader when the ring was empty.  1 when not attached,
// else 0; a message that does not fit, or whose length is out of range, is
// dropped: the overflow flag is set and the drop counted (kWebEvDropped).
// `pbWritten`, when given, tells whether the message went in (false also
// when the ring's lock was not had: nothing in the ring then says so).
int WebShmWriteEvent(const WebEventRecord& record, const char* pClassText, bool* pbWritten = nullptr);

// The raw view of a segment, for the configuration writer and reader;
// null when not attached.
uint8_t* WebShmConfView();
uint8_t* WebShmEvView();
// How long either side waits for a segment's mutex; once a wait ran out,
// the mutex is only tried (kWebLockTryMs) until it is had again.
constexpr uint32_t kWebLockWaitMs = 1000;
constexpr uint32_t kWebLockTryMs = 20;
// A lock (its unit, or the word inside it that guards its counts) that
// another process keeps this long, with none free and none given meanwhile,
// is taken back: a holder keeps it only for a copy, so one that keeps it
// longer was stopped or is hostile, or another process named it.
constexpr uint32_t kWebLockKeptMs = 3000;
// Wait at most kWebLockWaitMs (or kWebLockTryMs, see above) for a
// segment's mutex; false (reported, rate-limited) when it cannot be taken:
// the caller's turn fails.
bool WebShmLockConf();
// While one lives, its thread only tries the locks (kWebLockTryMs), as
// after a wait that ran out.  The host's command thread takes them so: a
// wait there would hold up every engine that starts, resumes or stops after
// the web engine for as long as another account keeps a lock.  What a try
// leaves undone, the engine's thread (which waits) does again.
class WebShmLockTriesOnly {
public:
    WebShmLockTriesOnly();
    ~WebShmLockTriesOnly();
    WebShmLockTriesOnly(const WebShmLockTriesOnly&) = delete;
    WebShmLockTriesOnly& operator=(const WebShmLockTriesOnly&) = delete;

private:
    bool m_bBefore;
};
void WebShmUnlockConf();
bool WebShmLockEvent();
void WebShmUnlockEvent();
