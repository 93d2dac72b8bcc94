// The sanitizers in the program that runs the web engine. AddressSanitizer
// does not report the engine's own sized deletes, which free some objects
// through a base of another size inside the engine's own code (which is not
// instrumented), and the program looks for no leaks: the engine and the
// libraries it loads (D-Bus, NSS, the GL drivers, some unloaded again before
// the process ends, so a leak report cannot even name them) keep their state
// until the end. Our own code's leaks are checked by the window's tests over
// the engine-free view.
extern "C" const char* __asan_default_options() { return "new_delete_type_mismatch=0:detect_leaks=0"; }

// ASAN_OPTIONS (scripts/test sets detect_leaks=1) overrides the defaults
// above; this turns the leak check off whatever the environment says.
extern "C" int __lsan_is_turned_off() { return 1; }
