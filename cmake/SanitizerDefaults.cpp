// Sanitizer settings compiled into every test program, so they hold however
// the program is started (by CTest, by hand, or as another test's child).
// Each runtime reads only its own; the others stay unused.  The runtimes
// are shared libraries that look these up in the program's dynamic symbol
// table, so they are exported whatever the build's default visibility.
#define HW_SANITIZER_HOOK extern "C" __attribute__((visibility("default")))
HW_SANITIZER_HOOK const char* __asan_default_options() {
    return "detect_leaks=1:abort_on_error=0:detect_stack_use_after_return=0";
}
HW_SANITIZER_HOOK const char* __ubsan_default_options() {
    return "print_stacktrace=1:halt_on_error=1";
}
// A report fails the program at its exit (status 66), after every race it
// meets has been reported.
HW_SANITIZER_HOOK const char* __tsan_default_options() { return "second_deadlock_stack=1"; }
// The C library serialises its time-zone state with a lock of its own,
// which ThreadSanitizer cannot see: concurrent local-time conversions would
// be reported as racing on that state.
HW_SANITIZER_HOOK const char* __tsan_default_suppressions() { return "race:tzset\n"; }
