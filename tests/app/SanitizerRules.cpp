// Linked into the wizard test binaries of the sanitizer tree only.
// Qt's offscreen platform never frees the screen it creates; the leak is Qt's, found only when
// the whole allocation stack is unwound.
extern "C" const char* __asan_default_options() {
    return "fast_unwind_on_malloc=0";
}
extern "C" const char* __lsan_default_suppressions() {
    return "leak:QGuiApplicationPrivate::createPlatformIntegration\n";
}
