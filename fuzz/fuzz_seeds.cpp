// Writes the hand-built seed inputs of the fuzz targets into the folder given: tags and
// wrappers of every kind the tag reader knows (ID3v2.2/2.3/2.4 with their flags, pictures
// and gains, the damage taggers do, ID3v1 and v1.1, Lyrics3 v1/v2, APE, RIFF, MacBinary) and VBR headers (Xing, Info, VBRI), around the
// MPEG frames of AUDIO (a short encoded file) or, without one, frames made up here. The
// files hold the stream only; fuzz/make-corpus.sh adds what a target reads before it.
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

#include "player/mp3_info_fixtures.h"

using namespace zentu::fixtures;
using namespace std::string_literals;

namespace {

void PutSyncsafe(Bytes& b, uint32_t v) {
    for (int shift = 21; shift >= 0; shift -= 7) b.push_back(static_cast<uint8_t>((v >> shift) & 0x7F));
}

// ID3v2.2 frame: 3-character id, 3-byte size.
Bytes Frame22(std::string_view id, std::string_view text) {
    Bytes b;
    Put(b, id);
    const auto size = static_cast<uint32_t>(text.size() + 1);
    for (int shift = 16; shift >= 0; shift -= 8) b.push_back(static_cast<uint8_t>(size >> shift));
    b.push_back(0);
    Put(b, text);
    return b;
}

// ID3v2.4 frame: syncsafe size, the given flags and encoding.
Bytes Frame24(std::string_view id, const Bytes& contents, uint16_t flags = 0) {
    Bytes b;
    Put(b, id);
    PutSyncsafe(b, static_cast<uint32_t>(contents.size()));
    b.push_back(static_cast<uint8_t>(flags >> 8));
    b.push_back(static_cast<uint8_t>(flags));
    Put(b, contents);
    return b;
}

Bytes Text(uint8_t encoding, std::string_view text) {
    Bytes b{encoding};
    Put(b, text);
    return b;
}

Bytes Comment(uint8_t encoding, std::string_view description, std::string_view text) {
    Bytes b{encoding};
    Put(b, "jpn");
    Put(b, description);
    b.push_back(0);
    Put(b, text);
    return b;
}

// "Xing" or "Info" in a stereo MPEG-1 Layer III frame of 417 bytes, all four fields present.
Bytes XingFrame(std::string_view tag, uint32_t frames, uint32_t bytes) {
    Bytes b = Frames(1);
    for (size_t i = 4; i < b.size(); ++i) b[i] = 0;
    Bytes x;
    Put(x, tag);
    PutBigEndian(x, 0x0F);
    PutBigEndian(x, frames);
    PutBigEndian(x, bytes);
    for (int i = 0; i < 100; ++i) x.push_back(static_cast<uint8_t>(i * 255 / 100));
    PutBigEndian(x, 57);
    Put(x, "LAME3.100");
    std::copy(x.begin(), x.end(), b.begin() + 36);
    return b;
}

Bytes VbriFrame(uint32_t frames, uint32_t bytes) {
    Bytes b = Frames(1);
    for (size_t i = 4; i < b.size(); ++i) b[i] = 0;
    Bytes v;
    Put(v, "VBRI");
    for (uint16_t field : {1, 576, 75}) {  // version, delay, quality
        v.push_back(static_cast<uint8_t>(field >> 8));
        v.push_back(static_cast<uint8_t>(field));
    }
    PutBigEndian(v, bytes);
    PutBigEndian(v, frames);
    for (uint16_t field : {4, 1, 2, 1}) {  // TOC entries, scale, entry size, frames per entry
        v.push_back(static_cast<uint8_t>(field >> 8));
        v.push_back(static_cast<uint8_t>(field));
    }
    for (int i = 0; i < 4; ++i) {
        v.push_back(0x01);
        v.push_back(0xA1);
    }
    std::copy(v.begin(), v.end(), b.begin() + 36);
    return b;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2 && argc != 3) {
        std::fprintf(stderr, "usage: %s folder [audio.mp3]\n", argv[0]);
        return 2;
    }
    Bytes audio = Frames(2);
    if (argc == 3) {
        std::ifstream in(argv[2], std::ios::binary);
        Bytes read{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        if (!read.empty()) audio = std::move(read);
    }
    Bytes extended23;
    PutBigEndian(extended23, 6);
    PutZeros(extended23, 6);
    Bytes extended24;
    PutSyncsafe(extended24, 6);
    extended24.push_back(1);
    extended24.push_back(0);
    Bytes footer24{'3', 'D', 'I', 4, 0, 0x10};
    const Bytes frames24 = Concat({Frame24("TIT2", Text(3, "T\xc3\xadtulo")), Frame24("TPE1", Text(2, {"\0A\0B", 4})),
                                   Frame24("TDRC", Text(0, "2001-02-03")), Frame24("COMM", Comment(3, "", "c"))});
    PutSyncsafe(footer24, static_cast<uint32_t>(frames24.size()));
    // Unsynchronised: FF 00 stands for FF, in a UTF-16 title (FF FE).
    const Bytes unsynced = Concat({Id3v2Frame("TIT2", std::string_view("\x01\xff\x00\xfeS\0o\0", 8), false),
                                   Id3v2Frame("TPE1", "Artist")});

    const Bytes seeds[] = {
        Concat({Id3v2(3, Concat({Id3v2Frame("TIT2", "Song"), Id3v2Frame("TPE1", "Artist"), Bytes(20, 0)})), audio,
                Id3v1({.title = "Song", .genre = 255, .track = 3})}),
        Concat({Id3v2(3, Concat({extended23, Id3v2Frame("TALB", "Album"), Id3v2Frame("TYER", "1999")}), 0x40), audio}),
        Concat({Id3v2(3, unsynced, 0x80), audio}),
        Concat({Id3v2(3, Concat({Id3v2Frame("TIT2", "\x8f\x74\x82\xcc\x8a\x43"),  // CP932
                                 Id3v2Frame("COMM", std::string_view("\0jpn\0text", 9), false)})),
                audio}),
        Concat({Id3v2(4, frames24), audio}),
        Concat({Id3v2(4, Concat({extended24, frames24}), 0x40), audio}),
        Concat({Id3v2(4, frames24, 0x10), footer24, audio}),
        Concat({Id3v2(4, Frame24("TIT2", Concat({Bytes{0, 0, 0, 5}, Text(0, "Four")}), 0x0003)), audio}),
        Concat({Id3v2(2, Concat({Frame22("TT2", "Two"), Frame22("TP1", "Artist"), Frame22("TAL", "Album"),
                                 Frame22("TYE", "1998"), Frame22("COM", std::string_view("eng\0c", 5))})),
                audio}),
        Concat({Id3v2(3, Bytes(64, 0)), Bytes(100, 0), audio}),            // audio after padding
        Concat({Id3v2(3, Id3v2Frame("TIT2", "Cut")), }),                   // a tag and nothing else
        Concat({audio, Id3v1({.title = "Only", .artist = "One", .year = "2000", .comment = "x"})}),
        Concat({Riff(Concat({RiffChunk("fmt ", Bytes(16, 1)), RiffChunk("data", audio),
                             RiffInfoList({{"INAM", "Title"}, {"IART", "Artist"}, {"ICMT", "c"}})})),
                Id3v1({.title = "T"})}),
        Concat({audio, Lyrics3v2({{"IND", "00"}, {"LYR", "Words"}, {"ETT", "Title"}}), Id3v1({.title = "L"})}),
        Concat({audio, Lyrics3v1("Words"), Id3v1({.title = "L1"})}),
        Concat({audio, Lyrics3v1("Words")}),
        Concat({audio, Ape({{"Title", "Song"}, {"REPLAYGAIN_TRACK_GAIN", "-4.08 dB"}}), Id3v1({.title = "Ape"})}),
        Concat({audio, Ape({{"Artist", "A"}, {"Cover Art (Front)", "c.jpg\0\xff\xd8\xff\xe0"s, 2}}, 2000, true)}),
        Concat({audio, Ape({{"Title", "One"}}, 1000), Lyrics3v2({{"IND", "00"}}), Id3v1({.title = "L"})}),
        Concat({audio, Lyrics3v2({{"LYR", "Words"}}), Ape({{"Year", "2001"}}, 2000, true), Id3v1({.title = "L"})}),
        // ReplayGain and pictures: TXXX, RVA2, APIC (v2.3, v2.4 with a data length and
        // unsynchronisation), PIC
        Concat({Id3v2(3, Concat({Id3v2Frame("TXXX", "REPLAYGAIN_TRACK_GAIN\0-6.48 dB"s),
                                 Id3v2Frame("RVA2", "album\0\1\xf9\0\x10\x80\0"s, false),
                                 Id3v2Frame("APIC", "image/jpeg\0\3d\0\xff\xd8\xff\xe0"s)})),
                audio}),
        Concat({Id3v2(4, Frame24("APIC", Concat({Bytes{0, 0, 0, 9}, Text(0, "\0\3\0\xff\0\xd8\xff\0\x00"s)}),
                                 0x0003)),
                audio}),
        Concat({Id3v2(2, Frame22("PIC", "PNG\0\0\x89PNG"s)), audio}),
        // Damaged as found in the wild: the extended-header flag with no extended header, a
        // frame running past the tag's end, a text that is a byte-order mark alone
        Concat({Id3v2(3, Id3v2Frame("TIT2", "Flagged"), 0x40), audio}),
        Concat({Id3v2(4, Frame24("TIT2", Text(3, "Flagged")), 0x40), audio}),
        Concat({Id3v2(3, Concat({Id3v2Frame("TPE1", "A"), Bytes{'T', 'I', 'T', '2', 0, 0, 0x10, 0, 0, 0, 0, 'C'}})), audio}),
        Concat({Id3v2(3, Concat({Id3v2Frame("TIT2", "\1\xff\xfe"s, false), Id3v2Frame("TPE1", "\3\xef\xbb\xbf"s, false)})),
                audio}),
        Concat({MacBinaryHeader(static_cast<uint32_t>(audio.size() + 128), 10), audio, Id3v1({.title = "Mac"}),
                Bytes(10, 0)}),
        Concat({XingFrame("Xing", 40, 40 * 417), audio}),
        Concat({XingFrame("Info", 2, 2 * 417), Frames(2)}),
        Concat({VbriFrame(4, 4 * 417), audio}),
    };
    int n = 0;
    for (const Bytes& s : seeds) {
        std::ofstream out(std::string(argv[1]) + "/tags-" + std::to_string(n++), std::ios::binary);
        out.write(reinterpret_cast<const char*>(s.data()), static_cast<std::streamsize>(s.size()));
    }
    return 0;
}
