#pragma once
// Leaks of the desktop's own libraries that Qt loads (font configuration, the session bus), which
// the client cannot free. The leak checker of the sanitizer build asks for this list; the
// client's own code has no entry here.
extern "C" const char* __lsan_default_suppressions();
extern "C" __attribute__((used)) const char* __lsan_default_suppressions()
{
    return "leak:libfontconfig.so\n"
           "leak:libdbus-1.so\n";
}
