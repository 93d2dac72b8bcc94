// Under LeakSanitizer: fontconfig keeps its caches until the process ends
// and never frees them; that is not a leak of ours.
#if defined(__SANITIZE_ADDRESS__)
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }
#endif
