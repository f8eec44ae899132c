// Writes seed inputs for mp3_info_fuzz into the folder given: the tag fixtures of the unit
// tests, each behind the fuzzer's mode byte (seekable, 65536-byte ring).
#include <cstdio>
#include <fstream>
#include <string>

#include "player/mp3_info_fixtures.h"

using namespace zentu::fixtures;

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s folder\n", argv[0]);
        return 2;
    }
    Bytes extended;
    PutBigEndian(extended, 6);
    PutZeros(extended, 6);
    const Bytes seeds[] = {
        Concat({Id3v2(3, Concat({Id3v2Frame("TIT2", "Song"), Id3v2Frame("TPE1", "Artist"), Bytes(20, 0)})),
                Frames(2), Id3v1({.title = "Song", .genre = 255, .track = 3})}),
        Concat({Id3v2(3, Concat({extended, Id3v2Frame("TALB", "Album")}), 0x40), Frames(1)}),
        Concat({Id3v2(4, Id3v2Frame("TIT2", "Four")), Frames(1)}),
        Concat({Riff(Concat({RiffChunk("fmt ", Bytes(16, 1)), RiffChunk("data", Frames(1)),
                             RiffInfoList({{"INAM", "Title"}, {"IART", "Artist"}})})),
                Id3v1({.title = "T"})}),
        Concat({Frames(1), Lyrics3v2({{"IND", "00"}, {"LYR", "Words"}}), Id3v1({.title = "L"})}),
        Concat({Frames(1), Lyrics3v1("Words")}),
        Concat({MacBinaryHeader(417 + 128, 10), Frames(1), Id3v1({.title = "Mac"}), Bytes(10, 0)}),
    };
    int n = 0;
    for (const Bytes& s : seeds) {
        std::ofstream out(std::string(argv[1]) + "/seed-" + std::to_string(n++), std::ios::binary);
        const char mode = 1;
        out.write(&mode, 1);
        out.write(reinterpret_cast<const char*>(s.data()), static_cast<std::streamsize>(s.size()));
    }
    return 0;
}
