// BMP files of decoded pictures (stream snapshots) and of overlay pictures.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Writes a 24-bit BMP with rows top-down (negative height in the info header), 100 pixels per
// metre. Rows are padded to four bytes as the format requires (no padding for widths that are
// multiples of four). False when the file cannot be written whole.
bool WriteBitmapFile(const std::string& path, const uint8_t* bgr, int width, int height);

// Reads a whole file; empty when it cannot be read or exceeds `maxBytes`.
std::vector<uint8_t> ReadWholeFile(const std::string& path, size_t maxBytes);
