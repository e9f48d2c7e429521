// Sanitizer settings compiled into every test program, so they hold however
// the program is started (by CTest, by hand, or as another test's child).
extern "C" {
const char* __asan_default_options() {
    return "detect_leaks=1:abort_on_error=0:detect_stack_use_after_return=0";
}
const char* __ubsan_default_options() { return "print_stacktrace=1:halt_on_error=1"; }
}
