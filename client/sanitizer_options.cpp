// Sanitizer builds only. LeakSanitizer inspects a process by tracing its threads, which the kernel refuses in
// a set-group-id process (its ids differ), so there its check would fail every run: it is left out for them.
#if defined(__SANITIZE_ADDRESS__)
#include <sys/auxv.h>

extern "C" const char* __asan_default_options() {
    return ::getauxval(AT_SECURE) != 0 ? "detect_leaks=0" : "";
}
#endif
