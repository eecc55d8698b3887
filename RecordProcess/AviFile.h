// The small AVI library of local recordings: a writer for one video stream and up to eight audio
// tracks, and a reader for local playback. Messages carry the prefix "avifile - ".
//
// Layout of a closed recording (little-endian; a chunk is a fourcc, a uint32 size, the data and a
// pad byte when the size is odd):
//
//   0     "RIFF" <file length - 8> "AVI "
//   12    "LIST" <p - 20> "hdrl"
//   24      "avih" 56 <main header>
//   88      "LIST" 116 "strl" "strh" 56 <video stream header> "strf" 40 <bitmap format>
//   212     per audio track: "LIST" 92 "strl" "strh" 56 <audio stream header> "strf" 16 <wave format>
//   p     "LIST" 76 "INFO" "ISFT" 64 <64 zero bytes>
//   p+84  "JUNK" <1944 - p> <zero bytes>
//   2036  "LIST" <pos - 2044> "movi"
//   2048    "00db" video chunks and "01wb" audio chunks in arrival order
//   pos'  "idx1" <16 n> n x {fourcc, flags (0x10 key frame), absolute chunk offset, length}
//
// While a recording is open the header area holds a provisional header (RIFF and movi sizes
// 0xFEFFF003, no frame count, no INFO list, a JUNK chunk up to the movi list), so an unfinished
// file still starts with a valid header list.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class AviFile {
public:
    // The library's error codes; LastError() holds the last one of the process.
    enum Error {
        kNoError = 0,
        kSizeLimit = 1,
        kOpen = 2,
        kRead = 3,
        kWrite = 4,
        kWriteIndex = 5,
        kClose = 6,
        kNotPermitted = 7,
        kNoMemory = 8,
        kNotAvi = 9,
        kNoHeaderList = 10,
        kNoMoviList = 11,
        kNoVideo = 12,
        kNeedIndex = 13,
        kUnknown = 14,
    };

    static constexpr int kHeaderBytes = 2048;
    static constexpr int kMaxAudioTracks = 8;
    // Largest file the writer makes: a chunk is refused when pos + 16 x entries + length + 32
    // would pass it.
    static constexpr uint64_t kMaxFileBytes = 0xFEFFF7FF;
    // Largest video frame or audio chunk the reader accepts from a file.
    static constexpr uint32_t kMaxChunkBytes = 16u << 20;

    ~AviFile();
    AviFile(const AviFile&) = delete;
    AviFile& operator=(const AviFile&) = delete;

    // Writer. Null on failure, with LastError() set.
    static std::unique_ptr<AviFile> OpenOutput(const std::string& path);
    // A compressor "RGB" is stored as 0, any other as its fourcc (first four characters).
    int SetVideo(int width, int height, double fps, const std::string& compressor);
    // Adds an audio track: format tag, channels, samples per second, bits per sample, kbit/s.
    // -1 with kNotPermitted when eight tracks exist already.
    int SetAudio(int channels, int rate, int bits, int format, int kbps);
    // Each returns 0, or -1 with the error set; a failed write leaves the file as it was before.
    int WriteVideoFrame(const char* data, uint32_t length, bool keyframe);
    int WriteAudio(const char* data, uint32_t length);
    // Finishes the file: writes "idx1", the final header and truncates at the end. Returns 0, or
    // -1 (kWriteIndex or kClose) when a step failed; the descriptor is closed either way. A file
    // opened for reading is simply closed. Safe to call twice.
    int Close();

    // Reader. Null on failure, with LastError() set. Sizes and offsets from the file are checked
    // against the file's length before anything is read.
    static std::unique_ptr<AviFile> OpenInput(const std::string& path);
    int VideoFrames() const { return static_cast<int>(m_videoIndex.size()); }
    int Width() const { return m_width; }
    int Height() const { return m_height; }
    double FrameRate() const { return m_fps; }
    std::string Compressor() const;
    int AudioTracks() const { return static_cast<int>(m_tracks.size()); }
    int AudioChunks() const;
    // Length of chunk n of the current audio track; -1 when there is none.
    long AudioChunkSize(int n) const;
    // Length of the largest indexed video frame: what a caller's frame buffer needs.
    uint32_t MaxVideoFrameBytes() const { return m_maxVideoFrame; }
    // The next ReadFrame reads video frame n (clamped at 0); -1 with kNeedIndex without an index.
    int SetVideoPosition(long n);
    // Reads the next video frame into buffer (resized to the frame) and advances. Returns the
    // length, 0 past the last frame, or -1 on a read error.
    long ReadFrame(std::vector<char>& buffer);
    // Reads the next chunk of the current audio track, at most `capacity` bytes of it, into
    // buffer. Returns the bytes read, 0 past the last chunk, -1 on error.
    long ReadAudioChunk(char* buffer, long capacity);
    // Sets the current audio track's read position to chunk n.
    int SetAudioPosition(long n);

    // The writer's refusal bound; lowered by tests of the size guard (never raised above the
    // format's own limit).
    void SetSizeLimit(uint64_t bytes);
    uint64_t Pos() const { return m_pos; }
    bool IsWriter() const { return m_mode == 0; }
    bool IsOpen() const { return m_fd >= 0; }

    static int LastError();
    // "avifile - ..." for the last error; codes 2 to 6 followed by " - " and the system's text.
    static std::string ErrorText();

private:
    struct Track {
        int format = 0;
        int channels = 0;
        int rate = 0;
        int bits = 0;
        int kbps = 0;
        uint64_t bytes = 0;
        // reader
        std::vector<std::pair<uint64_t, uint32_t>> chunks; // data offset, length
        std::size_t readPos = 0;
    };
    struct IndexEntry {
        char id[4];
        uint32_t flags;
        uint32_t offset;
        uint32_t length;
    };
    struct VideoEntry {
        uint64_t offset; // of the data
        uint32_t length;
        bool key;
    };

    AviFile() = default;
    int writeChunk(const char tag[4], const char* data, uint32_t length, uint32_t flags);
    std::vector<unsigned char> buildHeader(bool final) const;
    int writeHeader(bool final);
    bool parse();
    bool parseHeaderList(const std::vector<unsigned char>& list);
    void buildIndexFromIdx1(const std::vector<unsigned char>& idx1, uint64_t moviStart);
    void scanMovi(uint64_t start, uint64_t end);
    void addIndexed(const char id[4], uint64_t dataOffset, uint32_t length, uint32_t flags);
    bool readAt(uint64_t offset, void* buffer, std::size_t length);
    static void setError(int code, int sysErrno = 0);

    int m_fd = -1;
    int m_mode = 0; // 0 write, 1 read
    int m_width = 0;
    int m_height = 0;
    double m_fps = 0;
    char m_compressor[4] = {0, 0, 0, 0};
    char m_videoTag[4] = {'0', '0', 'd', 'b'};
    uint32_t m_videoFrames = 0;
    uint64_t m_lastVideoPos = 0;
    uint32_t m_lastVideoLength = 0;
    bool m_mustUseIndex = false;
    bool m_indexFailed = false;
    std::vector<Track> m_tracks;
    int m_currentTrack = 0;
    uint64_t m_pos = 0;
    std::vector<IndexEntry> m_index;
    uint32_t m_maxChunk = 0;
    uint64_t m_sizeLimit = kMaxFileBytes;
    // reader
    uint64_t m_fileSize = 0;
    int m_videoStream = -1;
    std::vector<VideoEntry> m_videoIndex;
    std::size_t m_videoPos = 0;
    uint32_t m_maxVideoFrame = 0;
};
