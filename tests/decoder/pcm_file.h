// Reading whole files in the decoder's tests: raw bytes, and 16-bit little-endian PCM.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

namespace zentu::test {

inline std::vector<uint8_t> ReadBytes(const std::filesystem::path& p) {
    std::ifstream f(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

inline std::vector<int16_t> ReadPcm(const std::filesystem::path& p) {
    const std::vector<uint8_t> b = ReadBytes(p);
    std::vector<int16_t> v(b.size() / 2);
    for (size_t i = 0; i < v.size(); ++i) v[i] = static_cast<int16_t>(b[2 * i] | (b[2 * i + 1] << 8));
    return v;
}

}  // namespace zentu::test
