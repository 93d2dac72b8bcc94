// The sanitizers in the program that runs the web engine. AddressSanitizer
// does not report the engine's own sized deletes, which free some objects
// through a base of another size inside the engine's own code (which is not
// instrumented), and looks for no leaks: the engine and the libraries under
// it (D-Bus, the GL drivers) keep their state until the process ends.
extern "C" const char* __asan_default_options() { return "new_delete_type_mismatch=0:detect_leaks=0"; }
