#include "AviFile.h"

#include "NetLog.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::atomic<int> g_lastError{0};
std::atomic<int> g_lastErrno{0};

constexpr uint32_t kProvisionalSize = 0xFEFFF003;
constexpr std::size_t kMaxHeaderList = 1 << 20;

const char* const kErrorTexts[] = {
    "avifile - No Error",
    "avifile - AVI file size limit reached",
    "avifile - Error opening AVI file",
    "avifile - Error reading from AVI file",
    "avifile - Error writing to AVI file",
    "avifile - Error writing index (file may still be useable)",
    "avifile - Error closing AVI file",
    "avifile - Operation (read/write) not permitted",
    "avifile - Out of memory (malloc failed)",
    "avifile - Not an AVI file",
    "avifile - AVI file has no header list (corrupted?)",
    "avifile - AVI file has no MOVI list (corrupted?)",
    "avifile - AVI file has no video data",
    "avifile - operation needs an index",
    "avifile - Unkown Error",
};

void put32(std::vector<unsigned char>& b, std::size_t off, uint32_t v)
{
    b[off] = static_cast<unsigned char>(v);
    b[off + 1] = static_cast<unsigned char>(v >> 8);
    b[off + 2] = static_cast<unsigned char>(v >> 16);
    b[off + 3] = static_cast<unsigned char>(v >> 24);
}

void put16(std::vector<unsigned char>& b, std::size_t off, uint16_t v)
{
    b[off] = static_cast<unsigned char>(v);
    b[off + 1] = static_cast<unsigned char>(v >> 8);
}

void putTag(std::vector<unsigned char>& b, std::size_t off, const char* tag) { std::memcpy(&b[off], tag, 4); }

uint32_t get32(const unsigned char* p)
{
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

uint16_t get16(const unsigned char* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

bool tagIs(const unsigned char* p, const char* tag) { return std::memcmp(p, tag, 4) == 0; }

bool writeAll(int fd, const void* data, std::size_t length, uint64_t offset)
{
    const char* p = static_cast<const char*>(data);
    while (length > 0) {
        const ssize_t n = ::pwrite(fd, p, length, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = ENOSPC;
            return false;
        }
        p += n;
        length -= static_cast<std::size_t>(n);
        offset += static_cast<uint64_t>(n);
    }
    return true;
}

int sampleSize(int bits, int channels)
{
    const int s = ((bits + 7) / 8) * channels;
    return s < 4 ? 4 : s;
}

} // namespace

void AviFile::setError(int code, int sysErrno)
{
    g_lastError = code;
    g_lastErrno = sysErrno;
    if (code != kNoError)
        NETLOG(ErrorText());
}

int AviFile::LastError() { return g_lastError; }

std::string AviFile::ErrorText()
{
    int code = g_lastError;
    if (code < 0 || code > kUnknown)
        code = kUnknown;
    std::string text = kErrorTexts[code];
    if (code >= kOpen && code <= kClose)
        text += std::string(" - ") + std::strerror(g_lastErrno);
    return text;
}

AviFile::~AviFile()
{
    if (m_fd >= 0)
        Close();
}

// ---- writer -------------------------------------------------------------------------------------

std::unique_ptr<AviFile> AviFile::OpenOutput(const std::string& path)
{
    std::unique_ptr<AviFile> file(new AviFile());
    file->m_fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (file->m_fd < 0) {
        setError(kOpen, errno);
        return nullptr;
    }
    const std::vector<char> zeros(kHeaderBytes, 0);
    if (!writeAll(file->m_fd, zeros.data(), zeros.size(), 0)) {
        setError(kWrite, errno);
        ::close(file->m_fd);
        file->m_fd = -1;
        return nullptr;
    }
    file->m_mode = 0;
    file->m_pos = kHeaderBytes;
    return file;
}

int AviFile::SetVideo(int width, int height, double fps, const std::string& compressor)
{
    if (m_mode != 0 || m_fd < 0) {
        setError(kNotPermitted);
        return -1;
    }
    m_width = width;
    m_height = height;
    m_fps = fps;
    std::memset(m_compressor, 0, sizeof m_compressor);
    if (compressor != "RGB")
        std::memcpy(m_compressor, compressor.data(), compressor.size() < 4 ? compressor.size() : 4);
    return writeHeader(false);
}

int AviFile::SetAudio(int channels, int rate, int bits, int format, int kbps)
{
    if (m_mode != 0 || m_fd < 0) {
        setError(kNotPermitted);
        return -1;
    }
    if (static_cast<int>(m_tracks.size()) >= kMaxAudioTracks) {
        NETLOG("error - only " << kMaxAudioTracks << " audio tracks supported");
        setError(kNotPermitted);
        return -1;
    }
    Track track;
    track.format = format;
    track.channels = channels;
    track.rate = rate;
    track.bits = bits;
    track.kbps = kbps;
    m_tracks.push_back(track);
    m_currentTrack = static_cast<int>(m_tracks.size()) - 1;
    return writeHeader(false);
}

void AviFile::SetSizeLimit(uint64_t bytes) { m_sizeLimit = bytes < kMaxFileBytes ? bytes : kMaxFileBytes; }

int AviFile::writeChunk(const char tag[4], const char* data, uint32_t length, uint32_t flags)
{
    if (m_mode != 0 || m_fd < 0) {
        setError(kNotPermitted);
        return -1;
    }
    if (data == nullptr && length > 0) {
        setError(kWrite, EINVAL);
        return -1;
    }
    if (m_pos + 16 * static_cast<uint64_t>(m_index.size()) + length + 32 > m_sizeLimit) {
        setError(kSizeLimit);
        return -1;
    }
    IndexEntry entry{};
    std::memcpy(entry.id, tag, 4);
    entry.flags = flags;
    entry.offset = static_cast<uint32_t>(m_pos);
    entry.length = length;

    unsigned char header[8];
    std::memcpy(header, tag, 4);
    header[4] = static_cast<unsigned char>(length);
    header[5] = static_cast<unsigned char>(length >> 8);
    header[6] = static_cast<unsigned char>(length >> 16);
    header[7] = static_cast<unsigned char>(length >> 24);
    const char pad = 0;
    const bool ok = writeAll(m_fd, header, 8, m_pos) && writeAll(m_fd, data, length, m_pos + 8) &&
                    ((length & 1) == 0 || writeAll(m_fd, &pad, 1, m_pos + 8 + length));
    if (!ok) {
        // Leave the file as it was: drop whatever part of the chunk reached the disk.
        const int saved = errno;
        if (::ftruncate(m_fd, static_cast<off_t>(m_pos)) != 0) {
            // The chunk stays unindexed beyond pos; the next write or Close overwrites it.
        }
        setError(kWrite, saved);
        return -1;
    }
    if (m_index.size() == m_index.capacity())
        m_index.reserve(m_index.size() + 4096);
    m_index.push_back(entry);
    m_pos += 8 + length + (length & 1);
    if (length > m_maxChunk)
        m_maxChunk = length;
    return 0;
}

int AviFile::WriteVideoFrame(const char* data, uint32_t length, bool keyframe)
{
    const uint64_t at = m_pos;
    if (writeChunk("00db", data, length, keyframe ? 0x10 : 0) != 0)
        return -1;
    ++m_videoFrames;
    m_lastVideoPos = at;
    m_lastVideoLength = length;
    return 0;
}

int AviFile::WriteAudio(const char* data, uint32_t length)
{
    if (m_tracks.empty()) {
        setError(kNotPermitted);
        return -1;
    }
    const char tag[4] = {'0', static_cast<char>('0' + (m_currentTrack + 1) % 10), 'w', 'b'};
    if (writeChunk(tag, data, length, 0) != 0)
        return -1;
    m_tracks[static_cast<std::size_t>(m_currentTrack)].bytes += length;
    return 0;
}

std::vector<unsigned char> AviFile::buildHeader(bool final) const
{
    std::vector<unsigned char> b(kHeaderBytes, 0);
    const std::size_t p = 212 + 100 * m_tracks.size();
    const uint32_t microsPerFrame = m_fps < 0.001 ? 0 : static_cast<uint32_t>(1000000.0 / m_fps + 0.5);
    const uint32_t rate = m_fps < 0.001 ? 0 : static_cast<uint32_t>(m_fps * 1000000.0 + 0.5);
    const uint32_t frames = final ? m_videoFrames : 0;

    putTag(b, 0, "RIFF");
    put32(b, 4, final ? static_cast<uint32_t>(m_pos - 8) : kProvisionalSize);
    putTag(b, 8, "AVI ");
    putTag(b, 12, "LIST");
    put32(b, 16, static_cast<uint32_t>(p - 20));
    putTag(b, 20, "hdrl");
    putTag(b, 24, "avih");
    put32(b, 28, 56);
    // main header
    put32(b, 32, microsPerFrame);
    uint32_t flags = 0x100;
    if (!m_indexFailed)
        flags |= 0x10;
    if (m_mustUseIndex)
        flags |= 0x20;
    put32(b, 44, flags);
    put32(b, 48, frames);
    put32(b, 56, static_cast<uint32_t>(m_tracks.size() + 1));
    put32(b, 64, static_cast<uint32_t>(m_width));
    put32(b, 68, static_cast<uint32_t>(m_height));
    // video stream list
    putTag(b, 88, "LIST");
    put32(b, 92, 116);
    putTag(b, 96, "strl");
    putTag(b, 100, "strh");
    put32(b, 104, 56);
    putTag(b, 108, "vids");
    std::memcpy(&b[112], m_compressor, 4);
    put32(b, 128, 1000000);
    put32(b, 132, rate);
    put32(b, 140, frames);
    put32(b, 148, 0xFFFFFFFFu);
    putTag(b, 164, "strf");
    put32(b, 168, 40);
    put32(b, 172, 40);
    put32(b, 176, static_cast<uint32_t>(m_width));
    put32(b, 180, static_cast<uint32_t>(m_height));
    put16(b, 184, 1);
    put16(b, 186, 24);
    std::memcpy(&b[188], m_compressor, 4);
    put32(b, 192, static_cast<uint32_t>(m_width) * static_cast<uint32_t>(m_height) * 3);
    // audio stream lists
    for (std::size_t t = 0; t < m_tracks.size(); ++t) {
        const Track& track = m_tracks[t];
        const std::size_t off = 212 + 100 * t;
        const int sampsize = sampleSize(track.bits, track.channels);
        const uint32_t bytesPerSecond = static_cast<uint32_t>(track.kbps) * 1000 / 8;
        putTag(b, off, "LIST");
        put32(b, off + 4, 92);
        putTag(b, off + 8, "strl");
        putTag(b, off + 12, "strh");
        put32(b, off + 16, 56);
        const std::size_t h = off + 20;
        putTag(b, h, "auds");
        put32(b, h + 20, static_cast<uint32_t>(sampsize / 4));
        put32(b, h + 24, bytesPerSecond);
        put32(b, h + 32, static_cast<uint32_t>(track.bytes * 4 / static_cast<uint64_t>(sampsize)));
        put32(b, h + 40, 0xFFFFFFFFu);
        put32(b, h + 44, static_cast<uint32_t>(sampsize / 4));
        putTag(b, off + 76, "strf");
        put32(b, off + 80, 16);
        const std::size_t f = off + 84;
        put16(b, f, static_cast<uint16_t>(track.format));
        put16(b, f + 2, static_cast<uint16_t>(track.channels));
        put32(b, f + 4, static_cast<uint32_t>(track.rate));
        put32(b, f + 8, bytesPerSecond);
        put16(b, f + 12, static_cast<uint16_t>(sampsize / 4));
        put16(b, f + 14, static_cast<uint16_t>(track.bits));
    }
    if (final) {
        putTag(b, p, "LIST");
        put32(b, p + 4, 76);
        putTag(b, p + 8, "INFO");
        putTag(b, p + 12, "ISFT");
        put32(b, p + 16, 64);
        putTag(b, p + 84, "JUNK");
        put32(b, p + 88, static_cast<uint32_t>(1944 - p));
        putTag(b, 2036, "LIST");
        put32(b, 2040, static_cast<uint32_t>(m_pos - 2044));
    } else {
        putTag(b, p, "JUNK");
        put32(b, p + 4, static_cast<uint32_t>(2028 - p));
        putTag(b, 2036, "LIST");
        put32(b, 2040, kProvisionalSize);
    }
    putTag(b, 2044, "movi");
    return b;
}

int AviFile::writeHeader(bool final)
{
    const auto header = buildHeader(final);
    if (!writeAll(m_fd, header.data(), header.size(), 0)) {
        setError(kWrite, errno);
        return -1;
    }
    return 0;
}

int AviFile::Close()
{
    if (m_fd < 0)
        return 0;
    int result = 0;
    if (m_mode == 0) {
        std::vector<unsigned char> idx(8 + 16 * m_index.size());
        putTag(idx, 0, "idx1");
        put32(idx, 4, static_cast<uint32_t>(16 * m_index.size()));
        for (std::size_t i = 0; i < m_index.size(); ++i) {
            const std::size_t off = 8 + 16 * i;
            std::memcpy(&idx[off], m_index[i].id, 4);
            put32(idx, off + 4, m_index[i].flags);
            put32(idx, off + 8, m_index[i].offset);
            put32(idx, off + 12, m_index[i].length);
        }
        if (writeAll(m_fd, idx.data(), idx.size(), m_pos)) {
            m_pos += idx.size();
        } else {
            setError(kWriteIndex, errno);
            m_indexFailed = true;
            result = -1;
        }
        const auto header = buildHeader(true);
        if (!writeAll(m_fd, header.data(), header.size(), 0) || ::ftruncate(m_fd, static_cast<off_t>(m_pos)) != 0) {
            setError(kClose, errno);
            result = -1;
        }
    }
    if (::close(m_fd) != 0 && m_mode == 0 && result == 0) {
        setError(kClose, errno);
        result = -1;
    }
    m_fd = -1;
    m_index.clear();
    m_index.shrink_to_fit();
    return result;
}

// ---- reader -------------------------------------------------------------------------------------

bool AviFile::readAt(uint64_t offset, void* buffer, std::size_t length)
{
    if (offset > m_fileSize || length > m_fileSize - offset) {
        setError(kRead, EINVAL);
        return false;
    }
    char* p = static_cast<char*>(buffer);
    while (length > 0) {
        const ssize_t n = ::pread(m_fd, p, length, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            setError(kRead, n == 0 ? EIO : errno);
            return false;
        }
        p += n;
        length -= static_cast<std::size_t>(n);
        offset += static_cast<uint64_t>(n);
    }
    return true;
}

std::unique_ptr<AviFile> AviFile::OpenInput(const std::string& path)
{
    std::unique_ptr<AviFile> file(new AviFile());
    file->m_mode = 1;
    file->m_fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (file->m_fd < 0) {
        setError(kOpen, errno);
        return nullptr;
    }
    struct stat st {};
    if (::fstat(file->m_fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        setError(kOpen, errno ? errno : EINVAL);
        return nullptr;
    }
    file->m_fileSize = static_cast<uint64_t>(st.st_size);
    if (!file->parse())
        return nullptr;
    setError(kNoError);
    return file;
}

bool AviFile::parse()
{
    unsigned char head[12];
    if (m_fileSize < 12 || !readAt(0, head, 12) || strncasecmp(reinterpret_cast<char*>(head), "RIFF", 4) != 0 ||
        strncasecmp(reinterpret_cast<char*>(head + 8), "AVI ", 4) != 0) {
        setError(kNotAvi);
        return false;
    }
    bool haveHeader = false;
    bool haveMovi = false;
    uint64_t moviStart = 0; // offset of the "movi" fourcc
    uint64_t moviEnd = 0;
    std::vector<unsigned char> idx1;
    uint64_t off = 12;
    while (off + 8 <= m_fileSize) {
        unsigned char chunk[12];
        if (!readAt(off, chunk, 8))
            break;
        const uint32_t size = get32(chunk + 4);
        const uint64_t dataStart = off + 8;
        const uint64_t available = m_fileSize - dataStart;
        if (tagIs(chunk, "LIST") && size >= 4 && available >= 4) {
            if (!readAt(dataStart, chunk + 8, 4))
                break;
            if (tagIs(chunk + 8, "hdrl") && !haveHeader) {
                const uint64_t listBytes = std::min<uint64_t>(size - 4, available - 4);
                if (listBytes > kMaxHeaderList)
                    break;
                std::vector<unsigned char> list(static_cast<std::size_t>(listBytes));
                if (!readAt(dataStart + 4, list.data(), list.size()))
                    break;
                haveHeader = parseHeaderList(list);
            } else if (tagIs(chunk + 8, "movi") && !haveMovi) {
                haveMovi = true;
                moviStart = dataStart;
                moviEnd = dataStart + std::min<uint64_t>(size, available);
            }
        } else if (tagIs(chunk, "idx1") && idx1.empty()) {
            const uint64_t bytes = std::min<uint64_t>(size, available) / 16 * 16;
            idx1.resize(static_cast<std::size_t>(bytes));
            if (bytes > 0 && !readAt(dataStart, idx1.data(), idx1.size()))
                idx1.clear();
        }
        if (size > available)
            break;
        off = dataStart + size + (size & 1);
    }
    if (!haveHeader) {
        setError(kNoHeaderList);
        return false;
    }
    if (!haveMovi) {
        setError(kNoMoviList);
        return false;
    }
    if (m_videoStream < 0) {
        setError(kNoVideo);
        return false;
    }
    if (!idx1.empty())
        buildIndexFromIdx1(idx1, moviStart);
    if (m_videoIndex.empty())
        scanMovi(moviStart + 4, moviEnd);
    if (m_videoIndex.empty()) {
        setError(kNoVideo);
        return false;
    }
    return true;
}

bool AviFile::parseHeaderList(const std::vector<unsigned char>& list)
{
    // Walk the header list's chunks, descending into "strl" lists.
    int stream = -1;
    std::string lastType;
    std::size_t off = 0;
    while (off + 8 <= list.size()) {
        const unsigned char* c = &list[off];
        const uint32_t size = get32(c + 4);
        const std::size_t dataStart = off + 8;
        const std::size_t available = list.size() - dataStart;
        if (tagIs(c, "LIST")) {
            if (size >= 4 && available >= 4 && tagIs(c + 8, "strl")) {
                ++stream;
                lastType.clear();
            }
            off = dataStart + 4; // descend into the list
            continue;
        }
        const std::size_t dataSize = std::min<std::size_t>(size, available);
        const unsigned char* d = &list[dataStart];
        if (tagIs(c, "strh") && dataSize >= 36 && stream >= 0) {
            lastType.assign(reinterpret_cast<const char*>(d), 4);
            if (lastType == "vids" && m_videoStream < 0) {
                m_videoStream = stream;
                std::memcpy(m_compressor, d + 4, 4);
                const uint32_t scale = get32(d + 20);
                const uint32_t rate = get32(d + 24);
                m_fps = scale == 0 ? 0.0 : static_cast<double>(rate) / scale;
                char tag[8];
                std::snprintf(tag, sizeof tag, "%02ddb", stream % 100);
                std::memcpy(m_videoTag, tag, 4);
            } else if (lastType == "auds" && m_tracks.size() < kMaxAudioTracks) {
                m_tracks.push_back(Track{});
            } else {
                lastType.clear();
            }
        } else if (tagIs(c, "strf") && stream >= 0) {
            if (lastType == "vids" && stream == m_videoStream && dataSize >= 12) {
                m_width = static_cast<int>(get32(d + 4));
                const int32_t h = static_cast<int32_t>(get32(d + 8));
                m_height = h < 0 ? (h == INT32_MIN ? 0 : -h) : h;
                if (m_width < 0)
                    m_width = 0;
            } else if (lastType == "auds" && !m_tracks.empty() && dataSize >= 16) {
                Track& track = m_tracks.back();
                track.format = get16(d);
                track.channels = get16(d + 2);
                track.rate = static_cast<int>(get32(d + 4) & 0x7fffffff);
                track.kbps = static_cast<int>(static_cast<uint64_t>(get32(d + 8)) * 8 / 1000);
                track.bits = get16(d + 14);
            }
        }
        if (size > available)
            break;
        off = dataStart + size + (size & 1);
    }
    return true;
}

void AviFile::addIndexed(const char id[4], uint64_t dataOffset, uint32_t length, uint32_t flags)
{
    if (length > kMaxChunkBytes || dataOffset > m_fileSize || length > m_fileSize - dataOffset)
        return;
    if (id[0] == m_videoTag[0] && id[1] == m_videoTag[1] &&
        (strncasecmp(id + 2, "db", 2) == 0 || strncasecmp(id + 2, "dc", 2) == 0)) {
        m_videoIndex.push_back({dataOffset, length, (flags & 0x10) != 0});
        if (length > m_maxVideoFrame)
            m_maxVideoFrame = length;
        return;
    }
    if (strncasecmp(id + 2, "wb", 2) != 0 || id[0] < '0' || id[0] > '9' || id[1] < '0' || id[1] > '9')
        return;
    // Audio tracks follow the video stream: track t is stream number videoStream + 1 + t.
    const int streamNumber = (id[0] - '0') * 10 + (id[1] - '0');
    const int track = streamNumber - m_videoStream - 1;
    if (track >= 0 && track < static_cast<int>(m_tracks.size()))
        m_tracks[static_cast<std::size_t>(track)].chunks.emplace_back(dataOffset, length);
}

void AviFile::buildIndexFromIdx1(const std::vector<unsigned char>& idx1, uint64_t moviStart)
{
    const std::size_t count = idx1.size() / 16;
    if (count == 0)
        return;
    // Offsets are absolute in our own files; other writers make them relative to the "movi"
    // fourcc. Decide by whether the first entry's offset points at its own chunk.
    uint64_t base = 0;
    unsigned char probe[4];
    const uint64_t first = get32(&idx1[8]);
    if (!(readAt(first, probe, 4) && std::memcmp(probe, &idx1[0], 4) == 0))
        base = moviStart;
    for (std::size_t i = 0; i < count; ++i) {
        const unsigned char* e = &idx1[16 * i];
        const uint64_t chunkOffset = base + get32(e + 8);
        addIndexed(reinterpret_cast<const char*>(e), chunkOffset + 8, get32(e + 12), get32(e + 4));
    }
}

void AviFile::scanMovi(uint64_t start, uint64_t end)
{
    uint64_t off = start;
    while (off + 8 <= end) {
        unsigned char c[8];
        if (!readAt(off, c, 8))
            return;
        const uint32_t size = get32(c + 4);
        if (tagIs(c, "LIST")) {
            off += 12; // "rec " lists: descend
            continue;
        }
        if (tagIs(c, "idx1")) {
            // A recording whose movi list also covers its index: take the index.
            const uint64_t bytes = std::min<uint64_t>(size, end - off - 8) / 16 * 16;
            std::vector<unsigned char> idx(static_cast<std::size_t>(bytes));
            if (bytes > 0 && readAt(off + 8, idx.data(), idx.size())) {
                m_videoIndex.clear();
                m_maxVideoFrame = 0;
                for (auto& track : m_tracks)
                    track.chunks.clear();
                buildIndexFromIdx1(idx, start - 4);
            }
            return;
        }
        addIndexed(reinterpret_cast<const char*>(c), off + 8, size, 0);
        off += 8 + static_cast<uint64_t>(size) + (size & 1);
    }
}

std::string AviFile::Compressor() const
{
    std::string s(m_compressor, 4);
    while (!s.empty() && s.back() == '\0')
        s.pop_back();
    return s;
}

int AviFile::AudioChunks() const
{
    if (m_tracks.empty())
        return 0;
    return static_cast<int>(m_tracks[static_cast<std::size_t>(m_currentTrack)].chunks.size());
}

long AviFile::AudioChunkSize(int n) const
{
    if (m_tracks.empty() || n < 0)
        return -1;
    const auto& chunks = m_tracks[static_cast<std::size_t>(m_currentTrack)].chunks;
    if (static_cast<std::size_t>(n) >= chunks.size())
        return -1;
    return static_cast<long>(chunks[static_cast<std::size_t>(n)].second);
}

int AviFile::SetVideoPosition(long n)
{
    if (m_mode != 1) {
        setError(kNotPermitted);
        return -1;
    }
    if (m_videoIndex.empty()) {
        setError(kNeedIndex);
        return -1;
    }
    m_videoPos = n < 0 ? 0 : static_cast<std::size_t>(n);
    return 0;
}

int AviFile::SetAudioPosition(long n)
{
    if (m_mode != 1 || m_tracks.empty()) {
        setError(kNotPermitted);
        return -1;
    }
    m_tracks[static_cast<std::size_t>(m_currentTrack)].readPos = n < 0 ? 0 : static_cast<std::size_t>(n);
    return 0;
}

long AviFile::ReadFrame(std::vector<char>& buffer)
{
    if (m_mode != 1 || m_fd < 0) {
        setError(kNotPermitted);
        return -1;
    }
    if (m_videoPos >= m_videoIndex.size())
        return 0;
    const VideoEntry& entry = m_videoIndex[m_videoPos];
    buffer.resize(entry.length);
    if (entry.length > 0 && !readAt(entry.offset, buffer.data(), entry.length))
        return -1;
    ++m_videoPos;
    return static_cast<long>(entry.length);
}

long AviFile::ReadAudioChunk(char* buffer, long capacity)
{
    if (m_mode != 1 || m_fd < 0 || m_tracks.empty() || capacity < 0) {
        setError(kNotPermitted);
        return -1;
    }
    Track& track = m_tracks[static_cast<std::size_t>(m_currentTrack)];
    if (track.readPos >= track.chunks.size())
        return 0;
    const auto& chunk = track.chunks[track.readPos];
    const std::size_t n = std::min<std::size_t>(chunk.second, static_cast<std::size_t>(capacity));
    if (n > 0 && !readAt(chunk.first, buffer, n))
        return -1;
    ++track.readPos;
    return static_cast<long>(n);
}
