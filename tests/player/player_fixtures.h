// Hand-built MPEG audio streams for the player's tests: frames with a header and a zero
// payload (which decodes to silence), VBR header frames, garbage, and temporary files.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace zentu::testing {

using Bytes = std::vector<uint8_t>;

// MPEG-1 Layer II, 192 kbit/s, 44.1 kHz, stereo, no CRC: 626 bytes, 4608 PCM bytes.
inline Bytes Layer2Frame() {
    Bytes f(626, 0);
    f[0] = 0xFF, f[1] = 0xFD, f[2] = 0xA0, f[3] = 0x00;
    return f;
}
// The same at 48 kHz (another stream): 576 bytes.
inline Bytes Layer2Frame48k() {
    Bytes f(576, 0);
    f[0] = 0xFF, f[1] = 0xFD, f[2] = 0xA4, f[3] = 0x00;
    return f;
}
// MPEG-1 Layer III, 128 kbit/s, 44.1 kHz, stereo, no CRC: 417 bytes, 4608 PCM bytes.
inline Bytes Layer3Frame() {
    Bytes f(417, 0);
    f[0] = 0xFF, f[1] = 0xFB, f[2] = 0x90, f[3] = 0x00;
    return f;
}

inline void PutBe32(Bytes& b, size_t at, uint32_t v) {
    b[at] = static_cast<uint8_t>(v >> 24), b[at + 1] = static_cast<uint8_t>(v >> 16);
    b[at + 2] = static_cast<uint8_t>(v >> 8), b[at + 3] = static_cast<uint8_t>(v);
}

// A Layer III frame carrying a Xing (or Info) header at `at` (after the side information
// of MPEG-1 stereo: 36); `crc` marks the header as followed by a CRC.
inline Bytes XingFrame(uint32_t flags, uint32_t frames, uint32_t bytes, const char* tag = "Xing", size_t at = 36,
                       bool crc = false) {
    Bytes f = Layer3Frame();
    if (crc) f[1] = 0xFA;
    std::memcpy(&f[at], tag, 4);
    PutBe32(f, at + 4, flags);
    size_t p = at + 8;
    if (flags & 1) PutBe32(f, p, frames), p += 4;
    if (flags & 2) PutBe32(f, p, bytes);
    return f;
}

inline Bytes VbriFrame(uint32_t frames, uint32_t bytes) {
    Bytes f = Layer3Frame();
    std::memcpy(&f[36], "VBRI", 4);
    PutBe32(f, 46, bytes);
    PutBe32(f, 50, frames);
    return f;
}

inline void Append(Bytes& to, const Bytes& what, int times = 1) {
    for (int i = 0; i < times; ++i) to.insert(to.end(), what.begin(), what.end());
}

inline Bytes Frames(const Bytes& frame, int count) {
    Bytes b;
    Append(b, frame, count);
    return b;
}

// A private temporary folder (under TMPDIR, else /tmp), removed with the object.
class TempDir {
public:
    TempDir() : path_(std::filesystem::temp_directory_path() / "zentu-test.XXXXXX") {
        if (mkdtemp(path_.data()) == nullptr) throw std::runtime_error("no temporary folder");
    }
    ~TempDir() { std::system(("rm -rf '" + path_ + "'").c_str()); }
    std::string Path(const std::string& name) const { return path_ + "/" + name; }
    std::string Write(const std::string& name, const Bytes& bytes) const {
        const std::string p = Path(name);
        std::ofstream(p, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                 static_cast<std::streamsize>(bytes.size()));
        return p;
    }

private:
    std::string path_;
};

// Runs a shell command; true when it exits with status 0.
inline bool Shell(const std::string& command) {
    const int status = std::system(command.c_str());
    return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

inline Bytes ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace zentu::testing
