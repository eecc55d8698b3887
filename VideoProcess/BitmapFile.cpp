#include "BitmapFile.h"

#include <cstdio>
#include <memory>

namespace {

struct FileClose {
    void operator()(std::FILE* f) const noexcept { std::fclose(f); }
};
using FilePtr = std::unique_ptr<std::FILE, FileClose>;

void put16(std::vector<uint8_t>& out, uint32_t v)
{
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
}

void put32(std::vector<uint8_t>& out, uint32_t v)
{
    put16(out, v & 0xFFFF);
    put16(out, v >> 16);
}

} // namespace

bool WriteBitmapFile(const std::string& path, const uint8_t* bgr, int width, int height)
{
    if (!bgr || width <= 0 || height <= 0)
        return false;
    const uint32_t row = static_cast<uint32_t>(width) * 3;
    const uint32_t stride = (static_cast<uint32_t>(width) * 24 + 31) / 32 * 4;
    const uint32_t imageSize = stride * static_cast<uint32_t>(height);
    std::vector<uint8_t> header;
    header.reserve(54);
    header.push_back('B');
    header.push_back('M');
    put32(header, imageSize + 54);
    put16(header, 0);
    put16(header, 0);
    put32(header, 54);
    put32(header, 40);
    put32(header, static_cast<uint32_t>(width));
    put32(header, static_cast<uint32_t>(-height));
    put16(header, 1);
    put16(header, 24);
    put32(header, 0);
    put32(header, imageSize);
    put32(header, 100);
    put32(header, 100);
    put32(header, 0);
    put32(header, 0);
    FilePtr file(std::fopen(path.c_str(), "wb"));
    if (!file)
        return false;
    if (std::fwrite(header.data(), 1, header.size(), file.get()) != header.size())
        return false;
    const uint8_t pad[3] = {0, 0, 0};
    for (int y = 0; y < height; ++y) {
        if (std::fwrite(bgr + static_cast<size_t>(y) * row, 1, row, file.get()) != row)
            return false;
        if (stride > row && std::fwrite(pad, 1, stride - row, file.get()) != stride - row)
            return false;
    }
    return std::fclose(file.release()) == 0;
}

std::vector<uint8_t> ReadWholeFile(const std::string& path, size_t maxBytes)
{
    std::vector<uint8_t> data;
    FilePtr file(std::fopen(path.c_str(), "rb"));
    if (!file)
        return data;
    uint8_t buffer[16384];
    for (;;) {
        const size_t n = std::fread(buffer, 1, sizeof buffer, file.get());
        if (n == 0)
            break;
        if (data.size() + n > maxBytes)
            return {};
        data.insert(data.end(), buffer, buffer + n);
    }
    return data;
}
