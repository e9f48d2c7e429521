#pragma once
// Code that faults on purpose.  The sanitizers would stop these before the
// processor faults, so they are kept out of their reach.

#define HW_FAULTS_ON_PURPOSE __attribute__((noinline, no_sanitize("undefined", "address")))

namespace hwtest {

// The address comes through a volatile, so the compiler cannot see that it
// is null and replace the read with a trap instruction.
inline int* volatile g_addressZero = nullptr;

HW_FAULTS_ON_PURPOSE inline int ReadAddressZero() {
    volatile int value = *g_addressZero;
    return value;
}

HW_FAULTS_ON_PURPOSE inline int DivideByZero() {
    volatile int zero = 0;
    volatile int one = 1;
    volatile int quotient = one / zero;  // a stored result cannot be optimised away
    return quotient;
}

// Recurses until the stack runs out.
inline volatile bool g_recursionEnds = false;

HW_FAULTS_ON_PURPOSE inline int RecurseWithoutEnd(int depth) {
    if (g_recursionEnds)
        return depth;
    volatile char frame[512];
    frame[0] = static_cast<char>(depth);
    return RecurseWithoutEnd(depth + 1) + frame[0];
}

}  // namespace hwtest
