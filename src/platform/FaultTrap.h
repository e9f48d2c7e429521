#pragma once
// Processor faults (SIGSEGV, SIGBUS, SIGFPE, SIGILL) turned into a record
// that ordinary code can report.  A fault inside RunWithFaultTrap is caught
// on the faulting thread: the handler notes the fault code, registers and
// stack frames, then jumps back to the trap, abandoning the frames in
// between without running their destructors.  Faults outside any trap keep
// their previous handling, so the process still ends on them.

#include <csignal>
#include <cstddef>
#include <cstdint>

namespace plat {

// Exception codes of processor faults, in the numbering the reports use.
enum : uint32_t {
    kFaultDatatypeMisalignment = 0x80000002u,
    kFaultAccessViolation = 0xC0000005u,
    kFaultInPageError = 0xC0000006u,
    kFaultIllegalInstruction = 0xC000001Du,
    kFaultArrayBoundsExceeded = 0xC000008Cu,
    kFaultFloatDivideByZero = 0xC000008Eu,
    kFaultFloatInexactResult = 0xC000008Fu,
    kFaultFloatInvalidOperation = 0xC0000090u,
    kFaultFloatOverflow = 0xC0000091u,
    kFaultFloatUnderflow = 0xC0000093u,
    kFaultIntegerDivideByZero = 0xC0000094u,
    kFaultIntegerOverflow = 0xC0000095u,
    kFaultPrivilegedInstruction = 0xC0000096u,
    kFaultStackOverflow = 0xC00000FDu,
};

struct FaultRegister {
    const char* name;
    uint64_t value;
};

// One stack frame: its instruction address, frame (canonical frame
// address), the address it returns to, and the first four words of the
// frame area (read only where they lie inside the thread's stack).
struct FaultFrame {
    uintptr_t pc;
    uintptr_t frame;
    uintptr_t returnAddress;
    uintptr_t words[4];
};

struct FaultRecord {
    static constexpr size_t kMaxRegisters = 24;
    static constexpr size_t kMaxFrames = 64;

    uint32_t code;
    int signal;
    int signalCode;
    uintptr_t address;      // the faulting instruction
    uintptr_t dataAddress;  // the address the faulting access used
    uintptr_t framePointer;
    uintptr_t stackPointer;
    uint32_t threadId;
    FaultRegister registers[kMaxRegisters];
    size_t registerCount;
    FaultFrame frames[kMaxFrames];
    size_t frameCount;
};

using TrappedCall = void (*)(void* argument);

// Runs call(argument).  Returns null when it returned, or the calling
// thread's fault record (valid until its next trapped fault) when a fault
// inside it was trapped.  Traps nest; the innermost takes the fault.
// Exceptions thrown by the call pass through.
const FaultRecord* RunWithFaultTrap(TrappedCall call, void* argument);

// Installs the fault handler, once per process; RunWithFaultTrap and
// HostileMapping::Guard call it.
void InstallFaultHandlers();

// Gives the calling thread a signal stack of its own while it lives, so
// that a stack overflow can be trapped too.  Layer threads have one.
class FaultStack {
public:
    FaultStack();
    ~FaultStack();
    FaultStack(const FaultStack&) = delete;
    FaultStack& operator=(const FaultStack&) = delete;

private:
    void* m_memory = nullptr;
    size_t m_size = 0;
    stack_t m_previous{};
    bool m_installed = false;
};

}  // namespace plat
