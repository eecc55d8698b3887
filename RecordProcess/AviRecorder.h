// One local recording of a live stream: an AVI file with an "H264" video stream and one A-law
// track. Nothing is written before the first H.264 sequence parameter set (a frame whose byte 4,
// behind the 4-byte start code, has NAL type 7), so a recording starts at a key frame.
//
// Thread use: Open and Close on the application's thread, the writes on stream-pool workers; one
// mutex guards the file and the started flag, so a Close never races a write.
#pragma once

#include "AviFile.h"

#include <memory>
#include <mutex>
#include <string>

class AviRecorder {
public:
    AviRecorder() = default;
    ~AviRecorder();
    AviRecorder(const AviRecorder&) = delete;
    AviRecorder& operator=(const AviRecorder&) = delete;

    // Closes a file still open, then opens `path` with the video stream (width x height at fps)
    // and the A-law track. 0 on success, -1 when the file cannot be made.
    int Open(const std::string& path, int width, int height, int fps);
    // Finishes the file (index and final header). 0, or -1 when that failed; 0 when none is open.
    int Close();

    // A video access unit of the live stream. Written once the recording has started (the SPS
    // frame itself starts it and is written as a key frame). A write that fails (disk full, size
    // limit) ends the recording: the file is finished as far as it goes and renamed with
    // ".error" appended. Returns 0 when written or skipped, -1 when the recording ended.
    int WriteVideo(const char* data, std::size_t length);
    // A 320-byte A-law frame; written only once started.
    int WriteAudio(const char* data, std::size_t length);

    bool IsOpen();
    bool IsStarted();
    std::string Path();
    // The recording's path with ".error" when the last recording ended in a write failure.
    std::string FailedPath();

private:
    int failLocked();

    std::mutex m_mutex;
    std::unique_ptr<AviFile> m_file; // guarded by m_mutex
    bool m_started = false;          // guarded by m_mutex
    std::string m_path;              // guarded by m_mutex
    std::string m_failedPath;        // guarded by m_mutex
};
