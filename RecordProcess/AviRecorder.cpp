#include "AviRecorder.h"

#include "NetLog.h"

#include <cstdio>

AviRecorder::~AviRecorder() { Close(); }

int AviRecorder::Open(const std::string& path, int width, int height, int fps)
{
    std::lock_guard lock(m_mutex);
    if (m_file)
        m_file->Close();
    m_file.reset();
    m_started = false;
    m_path = path;
    m_failedPath.clear();
    auto file = AviFile::OpenOutput(path);
    if (!file)
        return -1;
    // One A-law track: tag 6, mono, 8000 Hz, 16 bits, 64 kbit/s.
    if (file->SetVideo(width, height, fps, "H264") != 0 || file->SetAudio(1, 8000, 16, 6, 64) != 0) {
        file->Close();
        std::remove(path.c_str());
        return -1;
    }
    m_file = std::move(file);
    return 0;
}

int AviRecorder::Close()
{
    std::lock_guard lock(m_mutex);
    if (!m_file)
        return 0;
    const int result = m_file->Close();
    m_file.reset();
    m_started = false;
    return result;
}

int AviRecorder::failLocked()
{
    NETLOG("recording " << m_path << " ended: " << AviFile::ErrorText());
    m_file->Close();
    m_file.reset();
    m_started = false;
    m_failedPath = m_path + ".error";
    if (std::rename(m_path.c_str(), m_failedPath.c_str()) != 0)
        NETLOG("could not rename " << m_path << " to " << m_failedPath);
    return -1;
}

int AviRecorder::WriteVideo(const char* data, std::size_t length)
{
    if (data == nullptr || length == 0 || length > AviFile::kMaxChunkBytes)
        return 0;
    std::lock_guard lock(m_mutex);
    if (!m_file)
        return 0;
    const bool sps = length > 4 && (static_cast<unsigned char>(data[4]) & 0x1F) == 7;
    if (sps)
        m_started = true;
    if (!m_started)
        return 0;
    if (m_file->WriteVideoFrame(data, static_cast<uint32_t>(length), sps) != 0)
        return failLocked();
    return 0;
}

int AviRecorder::WriteAudio(const char* data, std::size_t length)
{
    if (data == nullptr || length == 0 || length > AviFile::kMaxChunkBytes)
        return 0;
    std::lock_guard lock(m_mutex);
    if (!m_file || !m_started)
        return 0;
    if (m_file->WriteAudio(data, static_cast<uint32_t>(length)) != 0)
        return failLocked();
    return 0;
}

bool AviRecorder::IsOpen()
{
    std::lock_guard lock(m_mutex);
    return m_file != nullptr;
}

bool AviRecorder::IsStarted()
{
    std::lock_guard lock(m_mutex);
    return m_started;
}

std::string AviRecorder::Path()
{
    std::lock_guard lock(m_mutex);
    return m_path;
}

std::string AviRecorder::FailedPath()
{
    std::lock_guard lock(m_mutex);
    return m_failedPath;
}
