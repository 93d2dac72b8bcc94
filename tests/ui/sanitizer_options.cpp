// What the sanitizers leave out in the window's test programs: faults inside
// libraries outside this project. LeakSanitizer skips what fontconfig keeps
// once a window shows text. AddressSanitizer does not report the web
// engine's own sized deletes, which free some objects through a base of
// another size (inside its own code, which is not instrumented); the program
// that runs the engine looks for no leaks at all, as the engine and the
// libraries under it (D-Bus, the GPU drivers) keep their state until exit.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }

extern "C" const char* __asan_default_options() {
#ifdef TARNEL_RUNS_WEB_ENGINE
    return "new_delete_type_mismatch=0:detect_leaks=0";
#else
    return "new_delete_type_mismatch=0";
#endif
}
