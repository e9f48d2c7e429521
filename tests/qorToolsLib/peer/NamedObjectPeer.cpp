// A second process for the tests of named semaphores, mappings and the
// shared-memory store.  Some commands end by SIGKILL, the way a crashed
// process ends: nothing is released or closed by the program itself.

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <vector>

#include "platform/NamedObject.h"
#include "platform/Process.h"
#include "platform/SemaphoreCore.h"
#include "qorToolsLib/SharedMemoryStore.h"
#include "qorToolsLib/jsSemaphore.h"
#include "qorToolsLib/jsSharedMemory.h"

namespace {

constexpr int kReplyOffset = 1024;

[[noreturn]] void Crash() {
    std::fflush(nullptr);
    raise(SIGKILL);
    std::abort();
}

void WaitForEndOfInput() {
    char buffer[64];
    while (read(0, buffer, sizeof buffer) > 0) {
    }
}

int MappingRead(const char* name, const char* expected) {
    jsSharedMemory memory(name);
    auto* view = static_cast<char*>(memory.Attach(0));
    if (view == nullptr)
        return 3;
    if (std::strcmp(view, expected) != 0)
        return 4;
    std::strcpy(view + kReplyOffset, "reply from peer");
    return 0;
}

int MappingCreateAndCrash(const char* name, const char* text) {
    jsSharedMemory memory(name);
    auto* view = static_cast<char*>(memory.Attach(4096));
    if (view == nullptr)
        return 3;
    std::strcpy(view, text);
    Crash();
}

int SemaphoreTry(const char* name) {
    SEMAPHORE semaphore(name);
    if (!semaphore.IsValid())
        return 10;
    uint32_t status = semaphore.TryAcquire();
    if (status == 0)
        semaphore.Release(1);
    return static_cast<int>(status);
}

int SemaphoreHoldThenCrash(const char* name) {
    SEMAPHORE semaphore(name);
    if (semaphore.Acquire(plat::kInfinite) != 0)
        return 3;
    std::printf("held\n");
    std::fflush(stdout);
    WaitForEndOfInput();
    Crash();
}

int SemaphoreDrainAndCrash(const char* name, int initial, int maximum) {
    jsNamedSemaphore semaphore(name, initial, maximum);
    while (semaphore.TryAcquire() == 0) {
    }
    Crash();
}

// Makes the object of `name` in `scope` (the inherited one when empty)
// first, open to every account, and holds a write or read lock on it until
// the end of input: what another local account can do to the names a
// sensor will use.  Removes the name at the end when it still holds it.
int Squat(const char* name, const std::string& lock, const char* scope) {
    if (*scope != '\0' && !plat::SetObjectScope(scope))
        return 2;
    const std::string path = plat::SharedObjectPath(name);
    int fd = shm_open(path.c_str(), O_RDWR | O_CREAT, 0666);
    if (fd < 0 || fchmod(fd, 0666) != 0 || ftruncate(fd, 4096) != 0)
        return 3;
    struct flock range = {};
    range.l_type = lock == "write" ? F_WRLCK : F_RDLCK;
    range.l_whence = SEEK_SET;
    range.l_len = 0;
    if (fcntl(fd, F_OFD_SETLK, &range) != 0)
        return 4;
    std::printf("held\n");
    std::fflush(stdout);
    WaitForEndOfInput();
    struct stat held = {};
    struct stat named = {};
    if (fstat(fd, &held) == 0 && stat(("/dev/shm" + path).c_str(), &named) == 0 && held.st_ino == named.st_ino)
        shm_unlink(path.c_str());
    close(fd);
    return 0;
}

// Holds the semaphore `name` of `scope` (the inherited one when empty) as a
// process of an earlier build does: an object of this account laid out
// with the earlier layout's magic ("HWS2"), kept with the shared lock every
// user holds, until the end of input.  The name is left behind, as by such
// a process killed without its stop.
int HoldEarlierLayout(const char* name, const char* scope) {
    if (*scope != '\0' && !plat::SetObjectScope(scope))
        return 2;
    const int fd = shm_open(plat::SharedObjectPath(name).c_str(), O_RDWR | O_CREAT, 0600);
    struct flock user = {};
    user.l_type = F_RDLCK;
    user.l_whence = SEEK_SET;
    user.l_len = 1;
    if (fd < 0 || fcntl(fd, F_OFD_SETLK, &user) != 0)
        return 3;
    plat::SemaphoreCore core = {};
    core.magic = 0x48575332;
    core.size = sizeof core;
    core.count = 1;
    core.maximum = 1;
    core.total = 1;
    if (ftruncate(fd, sizeof core) != 0 || pwrite(fd, &core, sizeof core, 0) != static_cast<ssize_t>(sizeof core))
        return 4;
    std::printf("held\n");
    std::fflush(stdout);
    WaitForEndOfInput();
    close(fd);
    return 0;
}

// The core of the semaphore `name` of `scope` (the inherited one when
// empty), opened as a user of it does, so that the name stays while this
// process has `fd` open; null when it cannot be had.
plat::SemaphoreCore* OpenCore(const char* name, const char* scope, int& fd) {
    fd = -1;
    if (*scope != '\0' && !plat::SetObjectScope(scope))
        return nullptr;
    fd = shm_open(plat::SharedObjectPath(name).c_str(), O_RDWR, 0);
    struct flock user = {};
    user.l_type = F_RDLCK;
    user.l_whence = SEEK_SET;
    user.l_len = 1;
    if (fd < 0 || fcntl(fd, F_OFD_SETLK, &user) != 0)
        return nullptr;
    void* view = mmap(nullptr, sizeof(plat::SemaphoreCore), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    return view == MAP_FAILED ? nullptr : static_cast<plat::SemaphoreCore*>(view);
}

// Opens the core of `name` in `scope` as OpenCore does and takes the lock
// word inside it as its own lock would: this process's id, once the word
// is free.  Null when the core cannot be had, with the exit code to end
// with in `failure`.
plat::SemaphoreCore* TakeLockWord(const char* name, const char* scope, int& fd, int& failure) {
    plat::SemaphoreCore* core = OpenCore(name, scope, fd);
    failure = fd < 0 ? 2 : 3;
    if (core == nullptr)
        return nullptr;
    std::atomic_ref<uint32_t> word(core->lock);
    const uint32_t self = static_cast<uint32_t>(getpid());
    for (uint32_t seen = 0; !word.compare_exchange_strong(seen, self); seen = 0) {
        usleep(1000);
    }
    return core;
}

// Takes the lock word inside the semaphore and keeps it until the end of
// input: what any process of the semaphore's group can do to it.
int HoldLockWord(const char* name, const char* scope) {
    int fd = -1;
    int failure = 0;
    plat::SemaphoreCore* core = TakeLockWord(name, scope, fd, failure);
    if (core == nullptr)
        return failure;
    std::printf("held\n");
    std::fflush(stdout);
    WaitForEndOfInput();
    uint32_t mine = static_cast<uint32_t>(getpid());
    std::atomic_ref<uint32_t>(core->lock).compare_exchange_strong(mine, 0);
    close(fd);
    return 0;
}

// Takes every unit of the semaphore without a holder's entry, as any
// process of its group can by writing its count down under the lock
// word, and ends without giving the units or the word back.
int TakeUnitsAndLeave(const char* name, const char* scope) {
    int fd = -1;
    int failure = 0;
    plat::SemaphoreCore* core = TakeLockWord(name, scope, fd, failure);
    if (core != nullptr)
        core->count = 0;
    return core != nullptr ? 0 : failure;
}

// Writes over the semaphore `name` of `scope` and leaves, as any process of
// its group can: each item is FIELD=VALUE, FIELD one of lock (the word that
// guards the counts), count, magic, or holder (an entry naming process
// VALUE, with its true start time, for one unit), or length=VALUE, which
// sets the object's length.
int Scribble(const char* name, const char* scope, char** items, int count) {
    int fd = -1;
    plat::SemaphoreCore* core = OpenCore(name, scope, fd);
    if (core == nullptr)
        return fd < 0 ? 2 : 3;
    for (int i = 0; i < count; ++i) {
        const std::string item = items[i];
        const size_t equals = item.find('=');
        const std::string field = item.substr(0, equals);
        const long long value = equals == std::string::npos ? 0 : std::atoll(item.c_str() + equals + 1);
        if (field == "lock") {
            std::atomic_ref<uint32_t>(core->lock).store(static_cast<uint32_t>(value));
        } else if (field == "count") {
            core->count = static_cast<int32_t>(value);
        } else if (field == "magic") {
            core->magic = static_cast<uint32_t>(value);
        } else if (field == "holder") {
            char state = 0;
            uint64_t startTime = 0;
            if (!plat::ReadProcessStart(static_cast<pid_t>(value), state, startTime))
                return 4;
            core->holders[plat::kSemaphoreMaxHolders - 1] = {static_cast<int32_t>(value), 1, startTime};
        } else if (field == "length") {
            if (ftruncate(fd, static_cast<off_t>(value)) != 0)
                return 4;
        } else {
            return 5;
        }
    }
    return 0;
}

// Cuts the object `name` of `scope` (the inherited one when empty) short to
// `length` bytes, as any account that may write it can: shared memory
// cannot be sealed against it.
int CutShort(const char* name, const char* scope, off_t length) {
    if (*scope != '\0' && !plat::SetObjectScope(scope))
        return 2;
    const int fd = shm_open(plat::SharedObjectPath(name).c_str(), O_RDWR, 0);
    if (fd < 0)
        return 3;
    const int rc = ftruncate(fd, length);
    close(fd);
    return rc == 0 ? 0 : 4;
}

// Prints one section of a store the test made and answers in a reply
// section with every pair it read (labels prefixed "echo:") and its pid.
int StoreEcho(const char* segment, uint32_t section, uint32_t reply) {
    SharedMemoryStore store(segment);
    if (!store.Open(false, 0x100040))
        return 3;
    std::vector<std::string> labels, values;
    if (!store.GetSection(section, labels, values))
        return 4;
    for (size_t i = 0; i < labels.size(); ++i)
        std::printf("%s=%s\n", labels[i].c_str(), values[i].c_str());
    if (!store.InsertId(reply))
        return 5;
    for (size_t i = 0; i < labels.size(); ++i) {
        if (!store.SetSection(reply, ("echo:" + labels[i]).c_str(), values[i].c_str()))
            return 5;
    }
    return store.SetSection(reply, "pid", std::to_string(getpid()).c_str()) ? 0 : 5;
}

}  // namespace

int main(int argc, char** argv) {
    std::string command = argc > 1 ? argv[1] : "";
    if (command == "mapping-read" && argc == 4)
        return MappingRead(argv[2], argv[3]);
    if (command == "mapping-create-and-crash" && argc == 4)
        return MappingCreateAndCrash(argv[2], argv[3]);
    if (command == "semaphore-try" && argc == 3)
        return SemaphoreTry(argv[2]);
    if (command == "semaphore-hold-then-crash" && argc == 3)
        return SemaphoreHoldThenCrash(argv[2]);
    if (command == "semaphore-drain-and-crash" && argc == 5)
        return SemaphoreDrainAndCrash(argv[2], std::atoi(argv[3]), std::atoi(argv[4]));
    if (command == "squat" && (argc == 4 || argc == 5))
        return Squat(argv[2], argv[3], argc == 5 ? argv[4] : "");
    if (command == "hold-earlier-layout" && (argc == 3 || argc == 4))
        return HoldEarlierLayout(argv[2], argc == 4 ? argv[3] : "");
    if (command == "hold-lock-word" && (argc == 3 || argc == 4))
        return HoldLockWord(argv[2], argc == 4 ? argv[3] : "");
    if (command == "take-units-and-leave" && (argc == 3 || argc == 4))
        return TakeUnitsAndLeave(argv[2], argc == 4 ? argv[3] : "");
    if (command == "scribble" && argc >= 5)
        return Scribble(argv[2], argv[3], argv + 4, argc - 4);
    if (command == "truncate" && (argc == 3 || argc == 4 || argc == 5))
        return CutShort(argv[2], argc >= 4 ? argv[3] : "", argc == 5 ? std::atoll(argv[4]) : 0);
    if (command == "store-echo" && argc == 5)
        return StoreEcho(argv[2], static_cast<uint32_t>(std::strtoul(argv[3], nullptr, 10)),
                         static_cast<uint32_t>(std::strtoul(argv[4], nullptr, 10)));
    std::fprintf(stderr, "usage: %s <command> <arguments>\n", argv[0]);
    return 64;
}
