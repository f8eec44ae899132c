// Byte fixtures for the tag reader: MPEG frames, ID3v1/ID3v2 tags, Lyrics3, APE, RIFF and
// MacBinary wrappers. Shared by the unit tests and the fuzzer's seed writer.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zentu::fixtures {

using Bytes = std::vector<uint8_t>;

inline constexpr int kFrameBytes = 417;  // FF FB 90 64: MPEG-1 Layer III, 128 kbit/s, 44.1 kHz

// push_back rather than insert: GCC 12 warns falsely about inserting into an empty vector
inline void Put(Bytes& b, std::string_view s) {
    for (char c : s) b.push_back(static_cast<uint8_t>(c));
}
inline void Put(Bytes& b, const Bytes& more) { b.insert(b.end(), more.begin(), more.end()); }
inline void PutZeros(Bytes& b, size_t n) { b.insert(b.end(), n, 0); }

inline void PutBigEndian(Bytes& b, uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) b.push_back(static_cast<uint8_t>(v >> shift));
}

inline void PutLittleEndian(Bytes& b, uint32_t v) {
    for (int shift = 0; shift <= 24; shift += 8) b.push_back(static_cast<uint8_t>(v >> shift));
}

inline Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes b;
    for (const Bytes& p : parts) Put(b, p);
    return b;
}

// n frames of 417 bytes whose payload holds no 0xFF.
inline Bytes Frames(int n) {
    Bytes b;
    for (int i = 0; i < n; ++i) {
        for (uint8_t h : {0xFF, 0xFB, 0x90, 0x64}) b.push_back(h);
        for (int k = 4; k < kFrameBytes; ++k) b.push_back(static_cast<uint8_t>(0x11 + (k % 0x60)));
    }
    return b;
}

// A field of fixed width, padded with zero bytes (or cut).
inline void PutField(Bytes& b, std::string_view s, size_t width) {
    for (size_t i = 0; i < width; ++i) b.push_back(i < s.size() ? static_cast<uint8_t>(s[i]) : 0);
}

struct Id3v1Fields {
    std::string title{}, artist{}, album{}, year{}, comment{};
    uint8_t genre = 12;
    int track = -1;  // >= 0: ID3v1.1 (zero byte, then the track number, at the comment's end)
};

inline Bytes Id3v1(const Id3v1Fields& f) {
    Bytes b;
    Put(b, "TAG");
    PutField(b, f.title, 30);
    PutField(b, f.artist, 30);
    PutField(b, f.album, 30);
    PutField(b, f.year, 4);
    if (f.track >= 0) {
        PutField(b, f.comment, 28);
        b.push_back(0);
        b.push_back(static_cast<uint8_t>(f.track));
    } else {
        PutField(b, f.comment, 30);
    }
    b.push_back(f.genre);
    return b;
}

// An ID3v2.3 frame; contents start with the text-encoding byte.
inline Bytes Id3v2Frame(std::string_view id, std::string_view text, bool encodingByte = true) {
    Bytes b;
    Put(b, id);
    PutBigEndian(b, static_cast<uint32_t>(text.size() + (encodingByte ? 1 : 0)));
    b.push_back(0);
    b.push_back(0);
    if (encodingByte) b.push_back(0);
    Put(b, text);
    return b;
}

// A frame of any version: v2.2 (3-letter ID, 3-byte size), v2.3 (4-byte size), v2.4
// (syncsafe size); `data` as stored, the encoding byte first; `format` the second flag byte.
inline Bytes Id3v2FrameOf(uint8_t major, std::string_view id, std::string_view data, uint8_t format = 0) {
    Bytes b;
    Put(b, id);
    const auto n = static_cast<uint32_t>(data.size());
    for (int i = major == 2 ? 2 : 3; i >= 0; --i)  // v2.4: seven bits a byte
        b.push_back(static_cast<uint8_t>(major == 4 ? (n >> (7 * i)) & 0x7F : n >> (8 * i)));
    if (major > 2) b.push_back(0), b.push_back(format);
    Put(b, data);
    return b;
}

// An ID3v2 tag of the given major version around `body` (frames, padding, extended header).
inline Bytes Id3v2(uint8_t major, const Bytes& body, uint8_t flags = 0) {
    Bytes b;
    Put(b, "ID3");
    b.push_back(major);
    b.push_back(0);
    b.push_back(flags);
    const auto size = static_cast<uint32_t>(body.size());
    for (int shift = 21; shift >= 0; shift -= 7) b.push_back(static_cast<uint8_t>((size >> shift) & 0x7F));
    Put(b, body);
    return b;
}

inline Bytes Lyrics3v1(std::string_view lyrics) {
    Bytes b;
    Put(b, "LYRICSBEGIN");
    Put(b, lyrics);
    Put(b, "LYRICSEND");
    return b;
}

inline Bytes Lyrics3v2(const std::vector<std::pair<std::string, std::string>>& fields) {
    Bytes b;
    Put(b, "LYRICSBEGIN");
    for (const auto& [id, contents] : fields) {
        Put(b, id);
        char digits[8];
        std::snprintf(digits, sizeof digits, "%05zu", contents.size());
        Put(b, digits);
        Put(b, contents);
    }
    char size[8];
    std::snprintf(size, sizeof size, "%06zu", b.size());
    Put(b, size);
    Put(b, "LYRICS200");
    return b;
}

struct ApeItem {
    std::string key, value;
    uint32_t flags = 0;  // bits 1-2: 0 text, 1 binary
};

// An APE tag (version 1000 or 2000): the items, the footer, and a header before them when asked.
inline Bytes Ape(const std::vector<ApeItem>& items, uint32_t version = 2000, bool header = false) {
    Bytes body;
    for (const ApeItem& item : items) {
        PutLittleEndian(body, static_cast<uint32_t>(item.value.size()));
        PutLittleEndian(body, item.flags);
        Put(body, item.key);
        body.push_back(0);
        Put(body, item.value);
    }
    auto footer = [&](bool isHeader) {
        Bytes b;
        Put(b, "APETAGEX");
        PutLittleEndian(b, version);
        PutLittleEndian(b, static_cast<uint32_t>(body.size() + 32));
        PutLittleEndian(b, static_cast<uint32_t>(items.size()));
        PutLittleEndian(b, (header ? 0x80000000u : 0) | (isHeader ? 0x20000000u : 0));
        PutZeros(b, 8);
        return b;
    };
    return header ? Concat({footer(true), body, footer(false)}) : Concat({body, footer(false)});
}

inline Bytes RiffChunk(std::string_view id, const Bytes& contents) {
    Bytes b;
    Put(b, id);
    PutLittleEndian(b, static_cast<uint32_t>(contents.size()));
    Put(b, contents);
    if (contents.size() & 1) b.push_back(0);
    return b;
}

inline Bytes RiffInfoList(const std::vector<std::pair<std::string, std::string>>& entries) {
    Bytes body;
    Put(body, "INFO");
    for (const auto& [id, value] : entries) {
        Bytes v;
        Put(v, value);
        v.push_back(0);
        Put(body, RiffChunk(id, v));
    }
    return RiffChunk("LIST", body);
}

// "RIFF" size "RMP3", then the chunks.
inline Bytes Riff(const Bytes& chunks) {
    Bytes b;
    Put(b, "RIFF");
    PutLittleEndian(b, static_cast<uint32_t>(chunks.size() + 4));
    Put(b, "RMP3");
    Put(b, chunks);
    return b;
}

inline Bytes MacBinaryHeader(uint32_t dataLength, uint32_t resourceLength, std::string_view name = "song.mp3") {
    Bytes b(128, 0);
    b[1] = static_cast<uint8_t>(name.size());
    for (size_t i = 0; i < name.size(); ++i) b[2 + i] = static_cast<uint8_t>(name[i]);
    for (int i = 0; i < 4; ++i) {
        b[83 + i] = static_cast<uint8_t>(dataLength >> (24 - 8 * i));
        b[87 + i] = static_cast<uint8_t>(resourceLength >> (24 - 8 * i));
    }
    return b;
}

}  // namespace zentu::fixtures
