// The process-wide reference count of the socket library (Windows Sockets 2.2 started by its first
// user and stopped by its last). The peer holds a reference for its lifetime; address lookups hold
// one while they run.
#pragma once

namespace P2PNet {

class SocketLibrary {
public:
    // Takes a reference; the first one starts the library. Returns the count after the call.
    static int Acquire();
    // Drops a reference; the last one stops the library. Never goes below zero.
    static int Release();
    static int Users();
};

// A reference held for the object's lifetime.
class SocketLibraryRef {
public:
    SocketLibraryRef() { SocketLibrary::Acquire(); }
    ~SocketLibraryRef() { SocketLibrary::Release(); }
    SocketLibraryRef(const SocketLibraryRef&) = delete;
    SocketLibraryRef& operator=(const SocketLibraryRef&) = delete;
};

} // namespace P2PNet
