// The AVI reader (local playback's file parser) on arbitrary file bytes. The input becomes a file;
// when it opens, every video frame and every audio chunk is read, forwards and after seeks. Every
// frame must fit the largest frame the reader reported, and no read may reach past the file.
#include "AviFile.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

namespace {

void check(bool condition)
{
    if (!condition)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const int fd = ::memfd_create("avi", MFD_CLOEXEC);
    if (fd < 0)
        return 0;
    size_t done = 0;
    while (done < size) {
        const ssize_t n = ::write(fd, data + done, size - done);
        if (n <= 0)
            break;
        done += static_cast<size_t>(n);
    }
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    auto avi = AviFile::OpenInput(path);
    if (avi) {
        check(avi->VideoFrames() > 0);
        std::vector<char> frame;
        for (int pass = 0; pass < 2; ++pass) {
            long length;
            int frames = 0;
            while ((length = avi->ReadFrame(frame)) > 0) {
                check(static_cast<size_t>(length) <= size);
                check(static_cast<uint32_t>(length) <= avi->MaxVideoFrameBytes());
                ++frames;
            }
            check(frames <= avi->VideoFrames());
            avi->SetVideoPosition(avi->VideoFrames() / 2);
        }
        char audio[640];
        for (int n = 0; n < avi->AudioChunks(); ++n) {
            check(avi->AudioChunkSize(n) >= 0);
            check(avi->ReadAudioChunk(audio, sizeof audio) <= 640);
        }
        avi->Close();
    }
    ::close(fd);
    return 0;
}
