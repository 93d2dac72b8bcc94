// Under LeakSanitizer: fontconfig and D-Bus (which the X11 platform of Qt
// opens) keep their caches until the process ends and never free them; they
// are not leaks of ours.
#if defined(__SANITIZE_ADDRESS__)
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\nleak:libdbus-1.so\n"; }
#endif
