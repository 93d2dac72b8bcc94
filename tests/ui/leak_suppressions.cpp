// What LeakSanitizer leaves out in the window's tests: allocations that
// libraries outside this project keep for the whole process and never free
// (fontconfig's caches once a window shows text, the web engine's browser
// state at exit).
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libfontconfig.so\n"
           "leak:libQt6WebEngineCore.so\n";
}
