// The video decoder interface of libLumora. A decoder is used by one thread at a time: the
// stream channel's decoder lock, or the local player's single play thread.
#pragma once

#include "DisplayerBase.h"

#include <LumoraTypes.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class DecodeBase {
public:
    DecodeBase() = default;
    virtual ~DecodeBase() = default;
    DecodeBase(const DecodeBase&) = delete;
    DecodeBase& operator=(const DecodeBase&) = delete;

    // 0 when the decoder is ready, else negative.
    virtual int InitDecoder(int window, int width, int height, bool hardware, int codec) { return -1; }
    virtual void UnInit() {}
    // Local playback frames: -1 for an empty frame or a failure, else 0.
    virtual int DecodeBuffer(uint64_t pts, const uint8_t* data, int length) = 0;
    // Live and remote frames, `length` bytes of `frame`: -1 for an empty frame, negative when the
    // decoder refuses the frame, else 0.
    virtual int DecoderFrame(uint64_t pts, const char* frame, size_t length) { return -1; }
    int DecoderFrame(uint64_t pts, std::vector<char>& frame) { return DecoderFrame(pts, frame.data(), frame.size()); }
    virtual int DecodeQueued() { return -1; }
    // Saves the next decoded picture to `path` and then calls `done` once; a request while one is
    // pending is dropped.
    virtual void SetSnapshot(std::string path, DeviceResultCallback done) {}
    virtual void Stop() {}
    virtual void SetDisplayParam(int value) = 0;
    virtual void DrawPicture(const char* path, int left, int top, int right, int bottom, int index) = 0;
    virtual void RotateImage(int degrees) = 0;

    DisplayerBase* displayer() const { return m_displayer.get(); }
    uint64_t lastPts() const { return m_lastPts; }

protected:
    std::unique_ptr<DisplayerBase> m_displayer; // made at the first picture
    uint64_t m_lastPts = 0;
    DeviceResultCallback m_snapshotDone;
};
