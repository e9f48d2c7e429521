// Sanitizer settings compiled into every test program, so they hold however
// the program is started (by CTest, by hand, or as another test's child).
// Each runtime reads only its own; the others stay unused.
extern "C" {
const char* __asan_default_options() {
    return "detect_leaks=1:abort_on_error=0:detect_stack_use_after_return=0";
}
const char* __ubsan_default_options() { return "print_stacktrace=1:halt_on_error=1"; }
// A report fails the program at its exit (status 66), after every race it
// meets has been reported.
const char* __tsan_default_options() { return "second_deadlock_stack=1"; }
// The C library serialises its time-zone state with a lock of its own,
// which ThreadSanitizer cannot see: concurrent local-time conversions would
// be reported as racing on that state.
const char* __tsan_default_suppressions() { return "race:tzset\n"; }
}
