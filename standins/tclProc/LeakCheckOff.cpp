// The interpreter's own allocations live until the process ends, which the
// leak check of a sanitizer build would report at every exit.
extern "C" const char* __asan_default_options() {
    return "detect_leaks=0:abort_on_error=0";
}
