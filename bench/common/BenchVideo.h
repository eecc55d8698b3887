// What the video benchmarks share: the H.264 test streams (made once by the ffmpeg command line
// and kept in the temporary folder), their access units as a camera sends them, and FFmpeg
// decoding them alone - the anchor the Lumora pipeline is measured against.
#pragma once

#include <string>
#include <vector>

namespace benchvideo {

// An Annex-B H.264 file of width x height, `frames` pictures at 25 a second (no B-frames, a key
// picture every 50); empty when ffmpeg could not make it.
std::string Fixture(int width, int height, int frames);

// The access units of an Annex-B H.264 file, split as the camera simulator splits them.
std::vector<std::vector<char>> AccessUnits(const std::string& path);

// CPU seconds of this thread and of this process.
double ThreadCpuSeconds();
double ProcessCpuSeconds();

// FFmpeg alone: `frames` pictures decoded from the units (looping) as fast as one decoder goes,
// with `threads` decoding threads (FFmpeg's own default when negative). Returns the wall seconds;
// the CPU seconds of the calling thread go to *cpuSeconds.
double DecodeAlone(const std::vector<std::vector<char>>& units, int frames, int threads, double* cpuSeconds);

// FFmpeg alone on `streams` live streams: one decoder (FFmpeg's default settings) and one thread
// per stream, each decoding the units (looping) at `fps` pictures a second as they would arrive.
// After `warmupSeconds` the process's CPU time is taken over `seconds`.
struct PacedResult {
    double wallSeconds = 0;
    double cpuSeconds = 0;          // process CPU over the measured time
    std::vector<double> rates;      // pictures a second of each stream over the measured time
    int decoderThreads = 0;         // FFmpeg's default thread count of a decoder
};
PacedResult DecodePaced(const std::vector<std::vector<char>>& units, int streams, int fps, double warmupSeconds,
                        double seconds);

} // namespace benchvideo
