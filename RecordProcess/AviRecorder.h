// One local recording of a live stream: an AVI file with one video stream, labelled with the
// stream's own codec ("H264" or "HEVC"), and one A-law track. Nothing is written before the first
// access unit that carries the stream's parameter sets (three- or four-byte start codes alike), so
// a recording starts at a key frame.
//
// The frame rate in the file is the stream's own: measured from the pictures' time stamps
// (microseconds) over the first second of the recording (the middle gap between pictures, so a
// late picture does not skew it), or over what there is when the recording is shorter; the rate
// given to Open stands only until then.
//
// A recording ends by itself, with a failure the caller can read through Failure(), when a write
// fails (the file is finished as far as it goes and renamed with ".error" appended) or when no
// key frame has come within the start bound (the empty file is removed).
//
// Thread use: Open and Close on the application's thread, the writes on stream-pool workers; one
// mutex guards the file and the started flag, so a Close never races a write.
#pragma once

#include "AviFile.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class AviRecorder {
public:
    // Why a recording ended by itself (Failure()); 0 while none did.
    static constexpr int kWriteFailed = -1; // the file is named with ".error" (FailedPath)
    static constexpr int kNoKeyFrame = -2;  // nothing could be recorded; no file is left
    // Time of stream without a key frame after which a recording gives up.
    static constexpr int64_t kDefaultStartBoundUs = 10'000'000;

    AviRecorder() = default;
    ~AviRecorder();
    AviRecorder(const AviRecorder&) = delete;
    AviRecorder& operator=(const AviRecorder&) = delete;

    // Closes a file still open, then opens `path` with the video stream (width x height, `fps`
    // until the stream's rate is measured, `codec` 0 H.264 or 1 H.265 until the stream's parameter
    // sets say otherwise) and the A-law track. 0 on success, -1 when the file cannot be made.
    int Open(const std::string& path, int width, int height, int fps, int codec = 0);
    // Finishes the file (index and final header). 0, or -1 when that failed; 0 when none is open.
    int Close();

    // A video access unit of the live stream with its time stamp in microseconds. Written once
    // the recording has started (the access unit with the parameter sets starts it). Returns 0
    // when written or skipped, -1 when this call ended the recording (Failure() says why).
    int WriteVideo(const char* data, std::size_t length, uint64_t pts = 0);
    // A 320-byte A-law frame; written only once started. -1 when this call ended the recording.
    int WriteAudio(const char* data, std::size_t length);

    bool IsOpen();
    bool IsStarted();
    std::string Path();
    // The recording's path with ".error" when the last recording ended in a write failure.
    std::string FailedPath();
    // kWriteFailed or kNoKeyFrame when the last recording ended by itself, else 0.
    int Failure();
    // The frame rate written to the file (measured once a second of pictures has come).
    double FrameRate();
    // How much stream (by the pictures' time stamps) may pass without a key frame.
    void SetStartBound(std::chrono::microseconds bound);

private:
    int failLocked();
    void measureRateLocked(uint64_t pts, bool final);

    std::mutex m_mutex;
    std::unique_ptr<AviFile> m_file; // guarded by m_mutex, like every field below
    bool m_started = false;
    std::string m_path;
    std::string m_failedPath;
    int m_failure = 0;
    int m_width = 0;
    int m_height = 0;
    int m_codec = 0;
    double m_fps = 0;
    int64_t m_startBoundUs = kDefaultStartBoundUs;
    // Before the start: the first picture's time and how many came.
    bool m_waiting = false;
    uint64_t m_waitFirstPts = 0;
    uint64_t m_waitFrames = 0;
    std::chrono::steady_clock::time_point m_waitFirstArrival;
    // After the start: the rate measurement over the first second.
    bool m_rateFixed = false;
    uint64_t m_firstPts = 0;
    uint64_t m_lastPts = 0;
    uint64_t m_ratedFrames = 0;
    std::vector<uint64_t> m_gaps; // microseconds between the pictures measured so far
    std::chrono::steady_clock::time_point m_firstArrival;
    std::chrono::steady_clock::time_point m_lastArrival;
};
