#include "platform/FaultTrap.h"

#include <pthread.h>
#include <setjmp.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <ucontext.h>
#include <unistd.h>
#include <unwind.h>

#include <cstring>
#include <memory>
#include <mutex>

#include "platform/HostileMapping.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#endif

namespace plat {
namespace {

constexpr int kTrappedSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL};
constexpr size_t kSignalStackSize = 256 * 1024;
// A fault this close below the stack's end is taken as a stack overflow.
constexpr uintptr_t kOverflowReach = 64 * 1024;

struct TrapFrame {
    sigjmp_buf jump;
    TrapFrame* previous;
    volatile sig_atomic_t describing;
};

// Per-thread trap state.  It is made before the first trap is armed, so
// the handler only reads a pointer that already exists.
struct ThreadFaultState {
    TrapFrame* top = nullptr;
    uintptr_t stackLow = 0;
    uintptr_t stackHigh = 0;
    FaultRecord record{};
};

thread_local ThreadFaultState* t_state = nullptr;
thread_local std::unique_ptr<ThreadFaultState> t_stateOwner;

struct sigaction g_previous[sizeof kTrappedSignals / sizeof kTrappedSignals[0]];

ThreadFaultState& StateOfThisThread() {
    if (t_state == nullptr) {
        t_stateOwner = std::make_unique<ThreadFaultState>();
        pthread_attr_t attr;
        if (pthread_getattr_np(pthread_self(), &attr) == 0) {
            void* low = nullptr;
            size_t size = 0;
            if (pthread_attr_getstack(&attr, &low, &size) == 0) {
                t_stateOwner->stackLow = reinterpret_cast<uintptr_t>(low);
                t_stateOwner->stackHigh = t_stateOwner->stackLow + size;
            }
            pthread_attr_destroy(&attr);
        }
        t_state = t_stateOwner.get();
    }
    return *t_state;
}

uint32_t CodeFor(int signal, int signalCode, uintptr_t dataAddress, const ThreadFaultState& state) {
    switch (signal) {
        case SIGSEGV:
            if (state.stackLow != 0 && dataAddress < state.stackLow + 4096 &&
                dataAddress + kOverflowReach >= state.stackLow) {
                return kFaultStackOverflow;
            }
            return kFaultAccessViolation;
        case SIGBUS:
            return signalCode == BUS_ADRALN ? kFaultDatatypeMisalignment : kFaultInPageError;
        case SIGFPE:
            switch (signalCode) {
                case FPE_INTDIV:
                    return kFaultIntegerDivideByZero;
                case FPE_INTOVF:
                    return kFaultIntegerOverflow;
                case FPE_FLTDIV:
                    return kFaultFloatDivideByZero;
                case FPE_FLTOVF:
                    return kFaultFloatOverflow;
                case FPE_FLTUND:
                    return kFaultFloatUnderflow;
                case FPE_FLTRES:
                    return kFaultFloatInexactResult;
                case FPE_FLTSUB:
                    return kFaultArrayBoundsExceeded;
                default:
                    return kFaultFloatInvalidOperation;
            }
        default:
            return signalCode == ILL_PRVOPC || signalCode == ILL_PRVREG
                       ? kFaultPrivilegedInstruction
                       : kFaultIllegalInstruction;
    }
}

void NoteRegisters(FaultRecord& record, const ucontext_t& context) {
#if defined(__x86_64__)
    static constexpr struct {
        const char* name;
        int index;
    } kRegisters[] = {
        {"RAX", REG_RAX}, {"RBX", REG_RBX}, {"RCX", REG_RCX},   {"RDX", REG_RDX}, {"RDI", REG_RDI},
        {"RSI", REG_RSI}, {"RBP", REG_RBP}, {"RSP", REG_RSP},   {"R8", REG_R8},   {"R9", REG_R9},
        {"R10", REG_R10}, {"R11", REG_R11}, {"R12", REG_R12},   {"R13", REG_R13}, {"R14", REG_R14},
        {"R15", REG_R15}, {"RIP", REG_RIP}, {"Flags", REG_EFL},
    };
    const greg_t* gregs = context.uc_mcontext.gregs;
    for (const auto& reg : kRegisters) {
        record.registers[record.registerCount++] = {reg.name,
                                                    static_cast<uint64_t>(gregs[reg.index])};
    }
    record.address = static_cast<uintptr_t>(gregs[REG_RIP]);
    record.framePointer = static_cast<uintptr_t>(gregs[REG_RBP]);
    record.stackPointer = static_cast<uintptr_t>(gregs[REG_RSP]);
#elif defined(__aarch64__)
    static const char* const kNames[] = {"X0", "X1", "X2", "X3", "X29", "X30"};
    static const int kIndexes[] = {0, 1, 2, 3, 29, 30};
    for (size_t i = 0; i < sizeof kIndexes / sizeof kIndexes[0]; ++i) {
        record.registers[record.registerCount++] = {kNames[i],
                                                    context.uc_mcontext.regs[kIndexes[i]]};
    }
    record.registers[record.registerCount++] = {"SP", context.uc_mcontext.sp};
    record.registers[record.registerCount++] = {"PC", context.uc_mcontext.pc};
    record.address = context.uc_mcontext.pc;
    record.framePointer = context.uc_mcontext.regs[29];
    record.stackPointer = context.uc_mcontext.sp;
#else
    (void)context;
#endif
}

// Frame words are raw stack contents, red zones of checked builds included.
__attribute__((no_sanitize("address"))) void CopyStackWords(FaultFrame& frame) {
    auto* words = reinterpret_cast<const volatile uintptr_t*>(frame.frame);
    for (size_t i = 0; i < sizeof frame.words / sizeof frame.words[0]; ++i) {
        frame.words[i] = words[i];
    }
}

struct StackWalk {
    FaultRecord* record;
    const ThreadFaultState* state;
    bool started;
};

// Skips the handler's own frames and the signal trampoline, then notes
// every frame from the faulting one outwards.
_Unwind_Reason_Code NoteFrame(_Unwind_Context* context, void* argument) {
    auto* walk = static_cast<StackWalk*>(argument);
    FaultRecord& record = *walk->record;
    int beforeInstruction = 0;
    uintptr_t pc = _Unwind_GetIPInfo(context, &beforeInstruction);
    if (pc == 0 && walk->started) {
        return _URC_END_OF_STACK;  // the outermost frame has nowhere to return
    }
    if (!walk->started) {
        if (pc != record.address) {
            return _URC_NO_REASON;
        }
        walk->started = true;
    }
    if (record.frameCount == FaultRecord::kMaxFrames) {
        return _URC_END_OF_STACK;
    }
    FaultFrame& frame = record.frames[record.frameCount++];
    frame = {};
    frame.pc = pc;
    frame.frame = _Unwind_GetCFA(context);
    const ThreadFaultState& state = *walk->state;
    if (frame.frame >= state.stackLow && frame.frame + sizeof frame.words <= state.stackHigh) {
        CopyStackWords(frame);
    }
    return _URC_NO_REASON;
}

void NoteFrames(FaultRecord& record, const ThreadFaultState& state) {
    StackWalk walk{&record, &state, false};
    _Unwind_Backtrace(NoteFrame, &walk);
    if (record.frameCount == 0) {
        // Nothing unwinds from a wild jump: keep the faulting frame alone.
        record.frames[0] = {record.address, record.framePointer, 0, {}};
        record.frameCount = 1;
    }
    for (size_t i = 0; i + 1 < record.frameCount; ++i) {
        record.frames[i].returnAddress = record.frames[i + 1].pc;
    }
}

void PassOn(int signal, siginfo_t* info) {
    for (size_t i = 0; i < sizeof kTrappedSignals / sizeof kTrappedSignals[0]; ++i) {
        if (kTrappedSignals[i] == signal) {
            sigaction(signal, &g_previous[i], nullptr);
        }
    }
    // A real fault recurs when the handler returns; a sent signal must be
    // raised again.
    if (info->si_code <= 0) {
        raise(signal);
    }
}

void OnFault(int signal, siginfo_t* info, void* rawContext) {
    // An object another account cut short under a guarded mapping: the
    // access is made again, on zeros, whichever thread made it.
    if (RepairCutMapping(signal, info)) {
        return;
    }
    ThreadFaultState* state = t_state;
    TrapFrame* trap = state != nullptr ? state->top : nullptr;
    if (trap == nullptr || info->si_code <= 0) {
        PassOn(signal, info);
        return;
    }
    if (trap->describing) {
        // Describing the first fault faulted (a stack too damaged to walk):
        // report what was noted so far.
        siglongjmp(trap->jump, 1);
    }
    trap->describing = 1;
    FaultRecord& record = state->record;
    std::memset(&record, 0, sizeof record);
    record.signal = signal;
    record.signalCode = info->si_code;
    record.dataAddress = reinterpret_cast<uintptr_t>(info->si_addr);
    record.threadId = static_cast<uint32_t>(syscall(SYS_gettid));
    NoteRegisters(record, *static_cast<ucontext_t*>(rawContext));
    record.code = CodeFor(signal, info->si_code, record.dataAddress, *state);
    NoteFrames(record, *state);
    siglongjmp(trap->jump, 1);
}

}  // namespace

void InstallFaultHandlers() {
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction action = {};
        action.sa_sigaction = OnFault;
        sigemptyset(&action.sa_mask);
        // Deferral is off so that a fault while describing a fault reaches
        // the handler instead of ending the process.
        action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_NODEFER;
        for (size_t i = 0; i < sizeof kTrappedSignals / sizeof kTrappedSignals[0]; ++i) {
            sigaction(kTrappedSignals[i], &action, &g_previous[i]);
        }
    });
}

namespace {

// The abandoned frames below the trap keep the poisoned red zones of their
// locals; left so, later calls would be reported as overflowing them.
void ForgetAbandonedFrames(const ThreadFaultState& state) {
#if defined(__SANITIZE_ADDRESS__)
    char here;
    uintptr_t top = reinterpret_cast<uintptr_t>(&here);
    if (state.stackLow != 0 && top > state.stackLow) {
        __asan_unpoison_memory_region(reinterpret_cast<void*>(state.stackLow),
                                      top - state.stackLow);
    }
#else
    (void)state;
#endif
}

struct TrapScope {
    ThreadFaultState& state;
    TrapFrame& trap;
    ~TrapScope() { state.top = trap.previous; }
};

}  // namespace

const FaultRecord* RunWithFaultTrap(TrappedCall call, void* argument) {
    InstallFaultHandlers();
    ThreadFaultState& state = StateOfThisThread();
    TrapFrame trap;
    trap.previous = state.top;
    trap.describing = 0;
    TrapScope scope{state, trap};
    if (sigsetjmp(trap.jump, 1) != 0) {
        ForgetAbandonedFrames(state);
        return &state.record;
    }
    state.top = &trap;
    call(argument);
    return nullptr;
}

FaultStack::FaultStack() {
    size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    m_size = kSignalStackSize + page;
    m_memory = mmap(nullptr, m_size, PROT_READ | PROT_WRITE,
                    MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (m_memory == MAP_FAILED) {
        m_memory = nullptr;
        return;
    }
    // A guard page below, so an overflow of the signal stack faults.
    mprotect(m_memory, page, PROT_NONE);
    stack_t stack = {};
    stack.ss_sp = static_cast<char*>(m_memory) + page;
    stack.ss_size = kSignalStackSize;
    m_installed = sigaltstack(&stack, &m_previous) == 0;
}

FaultStack::~FaultStack() {
    if (m_installed) {
        // Whatever stack the thread had before (the sanitizer's, say) is put
        // back for its owner to release.
        sigaltstack(&m_previous, nullptr);
    }
    if (m_memory != nullptr) {
        munmap(m_memory, m_size);
    }
}

}  // namespace plat
