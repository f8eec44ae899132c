#include "player/mp3_info.h"

#include <gtest/gtest.h>
#include <iconv.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <span>

#include "platform/exceptions.h"
#include "player/mp3_info_fixtures.h"

namespace zentu {
namespace {

using namespace fixtures;
using Lines = std::vector<std::string>;
using namespace std::string_literals;
using namespace std::string_view_literals;

// One reading of in-memory bytes, in the order LoadFromFile uses.
struct Reading {
    explicit Reading(Bytes bytes, bool seekable = true, int32_t capacity = 65536)
        : stream(std::move(bytes)), reader(capacity) {
        reader.Open(&stream, seekable);
        info.Attach(&reader);
    }
    bool All() {
        leading = info.ReadLeadingInfo();
        frame = info.SeekFirstFrame();
        trailing = info.ReadTrailingTags();
        return leading && frame && trailing;
    }
    TMPMemoryStream stream;
    TMPStreamReader reader;
    TMP3Info info;
    bool leading = false, frame = false, trailing = false;
};

Bytes Tag23(std::initializer_list<Bytes> frames, size_t padding = 0) {
    Bytes body = Concat(frames);
    PutZeros(body, padding);
    return Id3v2(3, body);
}

// A temporary file, removed again.
class TempFile {
public:
    TempFile(const std::string& name, const Bytes& bytes) {
        dir_ = std::filesystem::temp_directory_path() / ("zentu-info-" + std::to_string(::getpid()));
        std::filesystem::create_directories(dir_);
        path_ = dir_ / name;
        std::ofstream(path_, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    }
    ~TempFile() { std::filesystem::remove_all(dir_); }
    std::string Path() const { return path_.string(); }

private:
    std::filesystem::path dir_, path_;
};

TEST(Mp3InfoTexts, LongestCandidateWinsAndEarlierOnTies) {
    {
        // The frame's trailing zero byte makes it one byte longer than the ID3v1 title.
        Bytes file = Concat({Tag23({Id3v2Frame("TIT2", std::string("Song\0", 5))}), Frames(3),
                             Id3v1({.title = "Song"})});
        Reading r(file);
        ASSERT_TRUE(r.All());
        EXPECT_EQ(r.info.Found(), TMP3Info::fID3v1 | TMP3Info::fID3v2);
        EXPECT_EQ(r.info.Id3v2Frames(), Lines{std::string("TIT2=Song\0", 10)});
        EXPECT_EQ(r.info.Title(), "Song");
        EXPECT_EQ(r.info.AudioStart(), 26);
        EXPECT_EQ(r.info.AudioLength(), 3 * kFrameBytes + 128);  // trailing tags stay counted
    }
    {
        Bytes file = Concat({Tag23({Id3v2Frame("TIT2", std::string("Wxyz\0", 5)), Id3v2Frame("TPE1", "Bobby"),
                                    Id3v2Frame("TYER", "2001"), Id3v2Frame("COMM", std::string("eng\0long comment", 16))}),
                             Frames(2), Id3v1({.title = "Abcd", .artist = "Ann", .year = "1999", .comment = "c"})});
        Reading r(file);
        ASSERT_TRUE(r.All());
        EXPECT_EQ(r.info.Title(), "Wxyz");  // counted with its zero byte, shown without
        EXPECT_EQ(r.info.Artist(), "Bobby");
        EXPECT_EQ(r.info.Year(), "1999");   // equal lengths: ID3v1 first
        EXPECT_EQ(r.info.Comment(), "long comment");
        EXPECT_EQ(r.info.Album(), "");
    }
    {
        Bytes file = Concat({Tag23({Id3v2Frame("TIT2", "Wxyz"), Id3v2Frame("talb", "Lower")}), Frames(2),
                             Id3v1({.title = "Abcd"})});
        Reading r(file);
        ASSERT_TRUE(r.All());
        EXPECT_EQ(r.info.Title(), "Abcd");
        EXPECT_EQ(r.info.Album(), "Lower");  // names compare without regard to case
    }
    {
        // A UTF-16 frame counts its zero bytes: they belong to its characters.
        Bytes file = Concat({Tag23({Id3v2FrameOf(3, "TIT2", "\1\xFF\xFES\0o\0n\0g\0"s)}), Frames(2), Id3v1({.title = "Song"})});
        Reading r(file);
        ASSERT_TRUE(r.All());
        EXPECT_EQ(r.info.Title(), "Song");
        EXPECT_EQ(r.info.Id3v2Frames(), Lines{"TIT2=\xFF\xFES\0o\0n\0g\0"s});
    }
}

TEST(Mp3InfoTexts, RiffInfoOnlyWhenStrictlyLonger) {
    auto file = [](const std::string& inam) {
        return Concat({Riff(Concat({RiffChunk("data", Frames(2)),
                                    RiffInfoList({{"INAM", inam}, {"IART", "Riff artist"}, {"ICMT", "note"}})})),
                       Id3v1({.title = "Abcd", .comment = "ab"})});
    };
    Reading same(file("Rstu"));
    ASSERT_TRUE(same.All());
    EXPECT_EQ(same.info.RiffInfo(), (Lines{"INAM=Rstu", "IART=Riff artist", "ICMT=note"}));
    EXPECT_EQ(same.info.Title(), "Abcd");
    EXPECT_EQ(same.info.Artist(), "Riff artist");
    EXPECT_EQ(same.info.Comment(), "note");

    Reading longer(file("Rstuv"));
    ASSERT_TRUE(longer.All());
    EXPECT_EQ(longer.info.Title(), "Rstuv");
}

TEST(Mp3InfoTexts, WithoutTagsTitleIsTheFileName) {
    TempFile f("Quiet Song.mp3", Frames(3));
    TMP3Info info;
    info.LoadFromFile(f.Path());
    EXPECT_EQ(info.Found(), 0u);
    EXPECT_EQ(info.FileName(), f.Path());
    EXPECT_EQ(info.Title(), "Quiet Song.mp3");
    EXPECT_EQ(info.Artist() + info.Album() + info.Year() + info.Comment(), "");
    EXPECT_EQ(info.AudioStart(), 0);
    EXPECT_EQ(info.AudioLength(), 3 * kFrameBytes);
}

// `text` (UTF-8) in another character set.
std::string Encoded(std::string_view text, const char* charset) {
    iconv_t cd = iconv_open(charset, "UTF-8");
    std::string out(text.size() * 2, '\0');
    char *in = const_cast<char*>(text.data()), *to = out.data();
    size_t inLeft = text.size(), outLeft = out.size();
    EXPECT_NE(iconv(cd, &in, &inLeft, &to, &outLeft), static_cast<size_t>(-1)) << text;
    iconv_close(cd);
    return out.substr(0, out.size() - outLeft);
}

// Texts whose tag does not say their encoding, in a Western and a Japanese locale: each as an
// ID3v1 field and as an ID3v2 frame in ISO-8859-1, beside an ASCII artist; and a title that
// could be either, read as the album beside it is (one tag, one encoding).
TEST(Mp3InfoTexts, UntypedTextsReadInTheLikelierEncoding) {
    constexpr const char* kWestern[] = {"Céline Dion", "Pokémon", "Mädchen", "Händel", "Homogénic", "Édition spéciale",
                                        "“Quote”", "Œuvre Š", "Björk", "Für Elise", "Déjà vu", "Sigur Rós", "Beyoncé",
                                        "Motörhead", "Don’t Stop", "Œdipe", "«Liberté»"};
    constexpr const char* kJapanese[] = {"春の海", "東京", "宇多田ヒカル", "ｱｲｳｴｵ", "夜に駆ける", "残酷な天使のテーゼ",
                                         "東京事変", "Beautiful World (宇多田)", "恋", "涙", "ﾗ"};
    for (const char* locale : {"C.UTF-8", "ja_JP.UTF-8"}) {
        setenv("LC_ALL", locale, 1);
        using TTexts = std::pair<std::span<const char* const>, const char*>;
        for (const auto& [texts, charset] : {TTexts{kWestern, "WINDOWS-1252"}, TTexts{kJapanese, "CP932"}}) {
            for (const char* text : texts) {
                SCOPED_TRACE(std::string(locale) + " " + text);
                const std::string bytes = Encoded(text, charset);
                Reading v1(Concat({Frames(2), Id3v1({.title = bytes, .artist = "Artist"})}));
                Reading v2(Concat({Tag23({Id3v2Frame("TIT2", bytes), Id3v2Frame("TPE1", "Artist")}), Frames(2)}));
                for (Reading* r : {&v1, &v2}) {
                    ASSERT_TRUE(r->All());
                    EXPECT_EQ(r->info.Title(), text);
                    EXPECT_EQ(r->info.Artist(), "Artist");
                }
            }
        }
        Reading sea(Concat({Frames(2), Id3v1({.title = Encoded("海", "CP932"), .album = Encoded("東京事変", "CP932")})}));
        ASSERT_TRUE(sea.All());
        EXPECT_EQ(sea.info.Title(), "海") << locale;
    }
    unsetenv("LC_ALL");
}

TEST(Mp3InfoId3v1, FieldsGenresAndTrack) {
    EXPECT_STREQ(Id3v1Genre(0), "Blues");
    EXPECT_STREQ(Id3v1Genre(147), "Synthpop");
    EXPECT_STREQ(Id3v1Genre(148), "");
    EXPECT_STREQ(Id3v1Genre(247), "");
    EXPECT_STREQ(Id3v1Genre(248), "Heavy Rock(J)");
    EXPECT_STREQ(Id3v1Genre(255), "Anime(J)");

    {
        // ID3v1.1: the comment ends at its zero byte, the track number follows it.
        Reading r(Concat({Frames(2), Id3v1({.title = "  Padded title   \x01", .artist = "Artist",
                                            .album = "Album", .year = "2003", .comment = "Nice",
                                            .genre = 255, .track = 7})}));
        ASSERT_TRUE(r.All());
        EXPECT_EQ(r.info.TagFields(), (Lines{"TITLE=  Padded title", "ARTIST=Artist", "ALBUM=Album", "YEAR=2003",
                                             "COMMENT=Nice", "GENRE=Anime(J)", "TRACK=7"}));
        EXPECT_EQ(r.info.Id3v1Start(), 2 * kFrameBytes);
        EXPECT_EQ(r.info.Comment(), "Nice");
    }
    {
        // ID3v1.0: a comment of the full 30 bytes, no track; genre 200 has no name.
        const std::string comment30 = "abcdefghijklmnopqrstuvwxyz0123";
        Reading r(Concat({Frames(2), Id3v1({.title = "T", .comment = comment30, .genre = 200})}));
        ASSERT_TRUE(r.All());
        EXPECT_EQ(r.info.TagFields(),
                  (Lines{"TITLE=T", "ARTIST=", "ALBUM=", "YEAR=", "COMMENT=" + comment30, "GENRE="}));
    }
}

// Every FF gets a zero byte after it, as an unsynchronised tag stores it.
Bytes Unsynchronised(Bytes b) {
    for (size_t i = b.size(); i-- > 0;)
        if (b[i] == 0xFF) b.insert(b.begin() + static_cast<std::ptrdiff_t>(i) + 1, 0);
    return b;
}

// The texts of every version and encoding; and whatever the frames hold, the audio starts
// after the tag's declared size (the frame search never looks inside a tag, padding is not
// read at all).
TEST(Mp3InfoId3v2, TextsOfEveryVersionAndTheAudioAfterTheTag) {
    Bytes picture = {0};
    Put(picture, "image/jpeg\0\3\0"sv);
    for (int i = 0; i < 3000; ++i) Put(picture, Bytes{0xFF, 0xD8, 0xFF, 0xE0, 0xFF, 0xFE, 0xFF, 0xFB, 0x90, 0x64});
    const Bytes tooLarge = {0, 0, 3, 0xE8, 0, 0, 0, 0, 0, 0};  // v2.3 extended header of 1000 bytes
    const Bytes footer = {'3', 'D', 'I', 4, 0, 0x10, 0, 0, 0, 0};
    const struct {
        const char* name;
        Bytes tag;
        std::string title, artist = "", year = "", comment = "";
    } kCases[] = {
        {"v2.2", Id3v2(2, Concat({Id3v2FrameOf(2, "TT2", "\0Two"s), Id3v2FrameOf(2, "TP1", "\0Artist"s),
                                  Id3v2FrameOf(2, "TYE", "\0" "1998"s), Id3v2FrameOf(2, "COM", "\0eng\0Said"s)})),
         "Two", "Artist", "1998", "Said"},
        {"v2.3 UTF-16, 333 bytes of padding, the comment without a description",
         Id3v2(3, Concat({Id3v2FrameOf(3, "TIT2", "\1\xFF\xFES\0o\0\0\0"s),
                          Id3v2FrameOf(3, "COMM", "\1eng\xFF\xFEi\0T\0u\0n\0N\0O\0R\0M\0\0\0\xFF\xFE" "0\0"s),
                          Id3v2FrameOf(3, "COMM", "\1eng\xFF\xFE\0\0\xFF\xFEH\0i\0"s), Bytes(333, 0)})),
         "So", "", "", "Hi"},
        {"v2.3 unsynchronised as a whole",
         Id3v2(3, Unsynchronised(Concat({Id3v2FrameOf(3, "TIT2", "\0X\xFFY"s), Id3v2FrameOf(3, "TPE1", "\0\xFF\xFF"s)})),
               0x80),
         "XÿY", "ÿÿ"},
        {"v2.4 UTF-8, UTF-16BE, TDRC, a comment only here",
         Id3v2(4, Concat({Id3v2FrameOf(4, "TIT2", "\3Gr\xC3\xBC\xC3\x9F" "e\0"s), Id3v2FrameOf(4, "TPE1", "\2\0A\0b"s),
                          Id3v2FrameOf(4, "TDRC", "\3" "2024-05-01"s), Id3v2FrameOf(4, "COMM", "\3eng\0Vier"s)})),
         "Grüße", "Ab", "2024-05-01", "Vier"},
        {"v2.4 data length, grouping, per-frame unsynchronisation, compression",
         Id3v2(4, Concat({Id3v2FrameOf(4, "TIT2", "\0\0\0\4\0A\xFF\0B"s, 0x03), Id3v2FrameOf(4, "TPE1", "\x81\0G"s, 0x40),
                          Id3v2FrameOf(4, "TYER", "\0\0\0\0zlib"s, 0x08)})),
         "AÿB", "G"},
        {"v2.4 unsynchronised tag, extended header, footer",
         Concat({Id3v2(4, Concat({Bytes{0, 0, 0, 6, 1, 0}, Id3v2FrameOf(4, "TIT2", "\0\xFF\0Z"s)}), 0xD0), footer}),
         "ÿZ"},
        {"25 bytes of padding", Tag23({Id3v2Frame("TIT2", "Padded")}, 25), "Padded"},
        {"20 MB of padding", Tag23({Id3v2Frame("TIT2", "Huge")}, 20 << 20), "Huge"},
        {"a picture full of frame headers",
         Tag23({Id3v2Frame("TIT2", "Pic"), Id3v2FrameOf(3, "APIC", std::string(picture.begin(), picture.end()))}), "Pic"},
        {"a frame running past the tag's end: cut there",
         Id3v2(3, Concat({Id3v2Frame("TIT2", "Cut"), Bytes{'T', 'P', 'E', '1', 0, 0, 0, 99, 0, 0, 0, 'A'}})), "Cut", "A"},
        {"an extended header larger than the tag", Id3v2(3, Concat({tooLarge, Id3v2Frame("TIT2", "Lost")}), 0x40), ""},
        {"the extended-header flag without an extended header (v2.3, v2.4)",
         Concat({Id3v2(3, Id3v2Frame("TIT2", "Flagged"), 0x40), Id3v2(4, Id3v2FrameOf(4, "TPE1", "\0Too"s), 0x40)}),
         "Flagged", "Too"},
        {"a byte-order mark alone, UTF-8 with a bad byte",
         Id3v2(4, Concat({Id3v2FrameOf(4, "TIT2", "\1\xFF\xFE"s), Id3v2FrameOf(4, "TPE1", "\3\xEF\xBB\xBF"s),
                          Id3v2FrameOf(4, "TDRC", "\3" "20\xFF" "1"s)})),
         "", "", "20\uFFFD" "1"},
        {"ISO-8859-1 beginning as a byte-order mark does", Tag23({Id3v2Frame("TIT2", "\xFF\xFE" "Ete")}), "ÿþEte"},
        {"two tags", Concat({Tag23({Id3v2Frame("TIT2", "First")}, 3), Tag23({Id3v2Frame("TALB", "Second")}, 5)}),
         "First"},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        Reading r(Concat({c.tag, Frames(2)}));
        ASSERT_TRUE(r.All());
        EXPECT_TRUE(r.info.Found() & TMP3Info::fID3v2);
        EXPECT_EQ(r.info.AudioStart(), static_cast<int64_t>(c.tag.size()));
        EXPECT_EQ(r.info.Title(), c.title);
        EXPECT_EQ(r.info.Artist(), c.artist);
        EXPECT_EQ(r.info.Year(), c.year);
        EXPECT_EQ(r.info.Comment(), c.comment);
        EXPECT_LE(r.info.Id3v2Frames().size(), 4u);
    }
}

TEST(Mp3InfoId3v2, ExtendedHeaderMovesTheFrameStart) {
    Bytes extended;
    PutBigEndian(extended, 6);   // its size, without these four bytes
    PutZeros(extended, 2);       // flags
    PutBigEndian(extended, 10);  // padding size
    Bytes tag = Id3v2(3, Concat({extended, Id3v2Frame("TIT2", "Extended"), Bytes(10, 0)}), 0x40);
    Reading r(Concat({tag, Frames(2)}));
    ASSERT_TRUE(r.All());
    EXPECT_TRUE(r.info.Found() & TMP3Info::fID3v2);
    EXPECT_EQ(r.info.Title(), "Extended");
    EXPECT_EQ(r.info.AudioStart(), static_cast<int64_t>(tag.size()));
}

TEST(Mp3InfoId3v2, FramesLargerThanTheRingArePassedOver) {
    Bytes tag = Tag23({Id3v2Frame("APIC", std::string(300, 'x')), Id3v2Frame("TIT2", "After big")}, 10);
    Reading r(Concat({tag, Frames(1)}), true, 256);
    ASSERT_TRUE(r.info.ReadLeadingInfo());
    EXPECT_TRUE(r.info.Found() & TMP3Info::fID3v2);
    EXPECT_EQ(r.info.Id3v2Frames(), (Lines{"TIT2=After big"}));
    EXPECT_EQ(r.info.AudioStart(), static_cast<int64_t>(tag.size()));
}

TEST(Mp3InfoId3v2, LeadingTagIsTakenOffAKnownLength) {
    Bytes tag = Tag23({Id3v2Frame("TIT2", "In RIFF")});
    Bytes data = Concat({tag, Frames(2)});
    Reading riff(Riff(RiffChunk("data", data)));
    ASSERT_TRUE(riff.All());
    EXPECT_EQ(riff.info.Found(), TMP3Info::fRiff | TMP3Info::fID3v2);
    EXPECT_EQ(riff.info.AudioStart(), 20 + static_cast<int64_t>(tag.size()));
    EXPECT_EQ(riff.info.AudioLength(), 2 * kFrameBytes);

    // A data fork shorter than the tag in it leaves a length of 0, never a negative one.
    Reading mac(Concat({MacBinaryHeader(10, 0), tag, Frames(2)}));
    ASSERT_TRUE(mac.info.ReadLeadingInfo());
    EXPECT_EQ(mac.info.AudioLength(), 0);
}

// APE tags before an ID3v1 tag or at the end, with a header or without, before or after a
// Lyrics3 tag: their texts are candidates too, and the audio ends where they start.
TEST(Mp3InfoApe, WhereverTaggersPutIt) {
    const std::string cover = "\xFF\xFB\x90\x64\xFF\xD8\xFF\xE0";  // a frame header in a binary item
    const uint32_t ape1 = TMP3Info::fApe | TMP3Info::fID3v1;
    const struct {
        const char* name;
        Bytes tail;
        uint32_t found;
        int64_t apeAfterAudio;  // where the tag starts, after the audio
        std::string title, year = "";
    } kCases[] = {
        {"v2 footer before ID3v1",
         Concat({Ape({{"Title", "Ape Title"}, {"Year", "2001"}, {"Cover Art (Front)", cover, 2}}), Id3v1({.title = "Short"})}),
         ape1, 0, "Ape Title", "2001"},
        {"v2 header and footer at the end, UTF-8 repaired", Ape({{"TITLE", "Gr\xC3\xBC\xFF"}}, 2000, true),
         TMP3Info::fApe, 0, "Gr\xC3\xBC\uFFFD"},
        {"v1 (CP932) before Lyrics3", Concat({Ape({{"Title", "\x93\x8c\x8b\x9e"}}, 1000), Lyrics3v2({{"IND", "00"}}), Id3v1({})}),
         ape1 | TMP3Info::fLyrics3, 0, "東京"},
        {"after Lyrics3, equal lengths: ID3v1 first",
         Concat({Lyrics3v1("words"), Ape({{"title", "Same"}}, 2000, true), Id3v1({.title = "Abcd"})}),
         ape1 | TMP3Info::fLyrics3, 25, "Abcd"},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        Reading r(Concat({Frames(3), c.tail}));
        ASSERT_TRUE(r.All());
        EXPECT_EQ(r.info.Found(), c.found);
        EXPECT_EQ(r.info.Title(), c.title);
        EXPECT_EQ(r.info.Year(), c.year);
        EXPECT_EQ(r.info.ApeStart(), 3 * kFrameBytes + c.apeAfterAudio);
        EXPECT_EQ(r.info.AudioStart() + r.info.AudioLength(), r.info.ApeStart());
    }
}

// After the frame's unsynchronisation and data length are undone, whatever the ring's size;
// never one over 16 MB.
TEST(Mp3InfoId3v2, Pictures) {
    const struct {
        const char* name;
        Bytes tag;
        std::string mime, data;
    } kCases[] = {
        {"v2.4: data length and unsynchronisation",
         Id3v2(4, Id3v2FrameOf(4, "APIC", "\0\0\0\x0B\0\0\3\0\xFF\0\xD8\xFF\0\xE0" "ab"s, 0x03)), "image/jpeg",
         "\xFF\xD8\xFF\xE0" "ab"},
        {"v2.2 PIC", Id3v2(2, Id3v2FrameOf(2, "PIC", "\0PNG\x11\0\x89PNG"s + std::string(1000, 'p'))), "image/png",
         "\x89PNG" + std::string(1000, 'p')},
        {"over 16 MB", Tag23({Id3v2FrameOf(3, "APIC", "\0\0\3\0"s + std::string(16 << 20, 'x'))}), "", ""},
    };
    for (const auto& c : kCases) {
        for (int32_t capacity : {65536, 512}) {
            SCOPED_TRACE(c.name);
            Reading r(Concat({c.tag, Frames(2)}), true, capacity);
            ASSERT_TRUE(r.All());
            EXPECT_EQ(r.info.Picture().mime, c.mime);
            EXPECT_EQ(std::string(r.info.Picture().data.begin(), r.info.Picture().data.end()), c.data);
        }
    }
}

TEST(Mp3InfoRiff, DataChunkAndInfoList) {
    Bytes fmt(16, 1);
    Bytes audio = Concat({Frames(2), Bytes{0x00}});  // odd: a pad byte follows the chunk
    Bytes file = Concat({Riff(Concat({RiffChunk("fmt ", fmt), RiffChunk("data", audio),
                                      RiffInfoList({{"INAM", "Riff title"}, {"IART", ""}, {"ICRD", "1998 "}})})),
                         Id3v1({.title = "T"})});
    Reading r(file);
    ASSERT_TRUE(r.All());
    EXPECT_EQ(r.info.Found(), TMP3Info::fRiff | TMP3Info::fID3v1);
    EXPECT_EQ(r.info.RiffDataStart(), 12 + 24 + 8);
    EXPECT_EQ(r.info.RiffDataLength(), static_cast<int64_t>(audio.size()));
    EXPECT_EQ(r.info.AudioStart(), 44);
    EXPECT_EQ(r.info.AudioLength(), static_cast<int64_t>(audio.size()));
    EXPECT_EQ(r.info.RiffInfo(), (Lines{"INAM=Riff title", "ICRD=1998"}));  // empty values are left out
    EXPECT_EQ(r.info.Title(), "Riff title");
    EXPECT_EQ(r.info.Year(), "1998");
}

TEST(Mp3InfoRiff, DamagedInfoListKeepsTheTagsAfterIt) {
    // An entry larger than the ring stops the list but not the ID3v1 tag.
    Bytes file = Concat({Riff(Concat({RiffChunk("data", Frames(1)),
                                      RiffInfoList({{"IART", "Kept"}, {"INAM", std::string(5000, 'n')}})})),
                         Id3v1({.title = "Tag title"})});
    Reading small(file, true, 4096);
    EXPECT_TRUE(small.info.ReadLeadingInfo());
    EXPECT_TRUE(small.info.ReadTrailingTags());
    EXPECT_EQ(small.info.RiffInfo(), Lines{"IART=Kept"});
    EXPECT_TRUE(small.info.Found() & TMP3Info::fID3v1);
    EXPECT_EQ(small.info.Title(), "Tag title");

    // "IID3" ends the list at once.
    Reading iid3(Concat({Riff(Concat({RiffChunk("data", Frames(1)),
                                      RiffInfoList({{"IART", "Kept"}, {"IID3", "x"}, {"INAM", "Lost"}})}))}));
    ASSERT_TRUE(iid3.All());
    EXPECT_EQ(iid3.info.RiffInfo(), Lines{"IART=Kept"});
}

TEST(Mp3InfoLyrics3, Version2BeforeId3v1AndAtTheEnd) {
    const std::vector<std::pair<std::string, std::string>> fields = {
        {"IND", "00"}, {"LYR", "Hello\r\nworld"}, {"ETT", "Lyric title"}};
    const Lines expected = {"IND=00", "LYR=Hello\r\nworld", "ETT=Lyric title"};
    {
        Reading r(Concat({Frames(3), Lyrics3v2(fields), Id3v1({.title = "T"})}));
        ASSERT_TRUE(r.All());
        EXPECT_EQ(r.info.Found(), TMP3Info::fID3v1 | TMP3Info::fLyrics3);
        EXPECT_EQ(r.info.LyricsFields(), expected);
        EXPECT_EQ(r.info.LyricsStart(), 3 * kFrameBytes);
    }
    {
        Bytes file = Concat({Frames(3), Lyrics3v2(fields)});
        Reading r(file);
        ASSERT_TRUE(r.All());
        EXPECT_EQ(r.info.Found(), TMP3Info::fLyrics3);
        EXPECT_EQ(r.info.LyricsFields(), expected);
        EXPECT_EQ(r.info.LyricsStart(), 3 * kFrameBytes);
        EXPECT_EQ(r.info.AudioLength(), static_cast<int64_t>(file.size()));
    }
    {
        // A field running past the size digits: not found.
        Bytes tag = Lyrics3v2({{"LYR", "Hello"}});
        tag[11 + 3 + 4] = '9';  // "00005" becomes "00009"
        Reading r(Concat({Frames(1), tag}));
        ASSERT_TRUE(r.All());
        EXPECT_EQ(r.info.Found(), 0u);
    }
}

TEST(Mp3InfoLyrics3, Version1) {
    Reading r(Concat({Frames(2), Lyrics3v1("Some words"), Id3v1({.title = "T"})}));
    ASSERT_TRUE(r.All());
    EXPECT_EQ(r.info.Found(), TMP3Info::fID3v1 | TMP3Info::fLyrics3);
    EXPECT_EQ(r.info.LyricsFields(), Lines{"LYRICS=Some words"});
    EXPECT_EQ(r.info.LyricsStart(), 2 * kFrameBytes);
}

TEST(Mp3InfoMacBinary, DataForkBoundsTheAudioAndTheTags) {
    Bytes data = Concat({Frames(3), Id3v1({.title = "Mac title"})});
    Bytes resource = Concat({Bytes(172, 0), Id3v1({.title = "Resource fork"})});
    Bytes file = Concat({MacBinaryHeader(static_cast<uint32_t>(data.size()), static_cast<uint32_t>(resource.size())),
                         data, resource});
    Reading r(file);
    ASSERT_TRUE(r.All());
    EXPECT_EQ(r.info.Found(), TMP3Info::fMacBinary | TMP3Info::fID3v1);
    EXPECT_EQ(r.info.AudioStart(), 128);
    EXPECT_EQ(r.info.AudioLength(), static_cast<int64_t>(data.size()));
    EXPECT_EQ(r.info.MacDataEnd(), 128 + static_cast<int64_t>(data.size()));
    EXPECT_EQ(r.info.MacResourceLength(), static_cast<int64_t>(resource.size()));
    EXPECT_EQ(r.info.Id3v1Start(), 128 + 3 * kFrameBytes);
    EXPECT_EQ(r.info.Title(), "Mac title");

    // A negative fork length is no MacBinary header.
    Reading negative(Concat({MacBinaryHeader(0x80000000u, 0), Frames(1)}));
    ASSERT_TRUE(negative.info.ReadLeadingInfo());
    EXPECT_EQ(negative.info.Found(), 0u);
    EXPECT_EQ(negative.reader.Position(), 0);
}

TEST(Mp3InfoLoadFromFile, StreamErrorsPassAndClear) {
    TempFile f("good.mp3", Concat({Frames(2), Id3v1({.title = "Good"})}));
    TMP3Info info;
    info.LoadFromFile(f.Path());
    EXPECT_EQ(info.Title(), "Good");
    EXPECT_FALSE(info.ReadLeadingInfo());  // the reader it made is gone
    EXPECT_THROW(info.LoadFromFile(f.Path() + ".missing"), EStreamError);
    EXPECT_EQ(info.Found(), 0u);
    EXPECT_TRUE(info.TagFields().empty());
    EXPECT_EQ(info.Title(), "");
}

TEST(Mp3InfoReader, NotSeekableReadsOnlyTheLeadingInfo) {
    Reading r(Concat({Tag23({Id3v2Frame("TIT2", "Streamed")}), Frames(2), Id3v1({.title = "T"})}), false);
    EXPECT_TRUE(r.info.ReadLeadingInfo());
    EXPECT_TRUE(r.info.SeekFirstFrame());
    EXPECT_FALSE(r.info.ReadTrailingTags());
    EXPECT_EQ(r.info.AudioLength(), kUnknownLength);
    EXPECT_EQ(r.info.Title(), "Streamed");
    EXPECT_FALSE(r.info.Found() & TMP3Info::fID3v1);
}

TEST(Mp3InfoHostile, SizesAtTheLimitsNeitherThrowNorOverflow) {
    auto bigEndian = [](uint32_t v) { Bytes b; PutBigEndian(b, v); return b; };
    auto littleEndian = [](uint32_t v) { Bytes b; PutLittleEndian(b, v); return b; };
    auto text = [](std::string_view s) { Bytes b; Put(b, s); return b; };
    std::vector<Bytes> files = {
        // RIFF chunk, data chunk and INFO sizes near 2^31
        Concat({text("RIFF"), littleEndian(100), text("RMP3"), text("junk"), littleEndian(0x7FFFFFFF), Frames(1)}),
        Concat({text("RIFF"), littleEndian(100), text("RMP3"), text("data"), littleEndian(0x7FFFFFFF), Frames(1)}),
        Concat({text("RIFF"), littleEndian(100), text("RMP3"), text("data"), littleEndian(417), Frames(1),
                text("LIST"), littleEndian(0x7FFFFFFF), text("INFO"), text("INAM"), littleEndian(0x7FFFFFFF)}),
        Concat({text("RIFF"), littleEndian(100), text("RMP3"), text("data"), littleEndian(417), Frames(1),
                text("LIST"), littleEndian(0x7FFFFFF0), text("INFO"), text("INAM"), littleEndian(0x80000000u)}),
        // ID3v2 sizes: all bits set, frame sizes at and beyond the signed limit
        Concat({text("ID3"), Bytes{3, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF}, Frames(1)}),
        Concat({text("ID3"), Bytes{3, 0, 0, 0, 0, 1, 0}, text("TIT2"), bigEndian(0x7FFFFFFF), Bytes(200, 0), Frames(1)}),
        Concat({text("ID3"), Bytes{3, 0, 0, 0, 0, 1, 0}, text("TIT2"), bigEndian(0x7FFFFFF6), Bytes(200, 0), Frames(1)}),
        Concat({text("ID3"), Bytes{3, 0, 0, 0, 0, 1, 0}, text("TIT2"), bigEndian(0x80000000u), Bytes(200, 0), Frames(1)}),
        Concat({text("ID3"), Bytes{3, 0, 0x40, 0, 0, 1, 0}, bigEndian(0x7FFFFFFF), Bytes(200, 0), Frames(1)}),
        Concat({text("ID3"), Bytes{4, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF}, Frames(1)}),
        // MacBinary forks at the limit
        Concat({MacBinaryHeader(0x7FFFFFFF, 0x7FFFFFFF), Frames(1)}),
        // Lyrics3: markers with no room before them, sizes larger than the file
        text("LYRICS200"),
        text("12LYRICS200"),
        Concat({Frames(1), text("999999LYRICS200")}),
        Concat({Frames(1), text("LYRICSBEGINLYR99999Hi000021LYRICS200")}),
        Concat({Frames(1), text("-00011LYRICS200")}),
        text("LYRICSEND"),
        // APE: a size larger than the file, a header where the footer belongs
        Concat({Frames(1), text("APETAGEX"), littleEndian(2000), littleEndian(0x7FFFFFFF), littleEndian(1), Bytes(12, 0)}),
        Concat({Frames(1), text("APETAGEX"), littleEndian(2000), littleEndian(32), littleEndian(9), littleEndian(0xA0000000u),
                Bytes(8, 0)}),
    };
    for (size_t i = 0; i < files.size(); ++i) {
        for (bool seekable : {true, false}) {
            for (int32_t capacity : {65536, 256}) {
                Reading r(files[i], seekable, capacity);
                EXPECT_NO_THROW({
                    r.All();
                    r.info.Title();
                    r.info.Comment();
                }) << "file " << i << (seekable ? " seekable" : " streamed") << " capacity " << capacity;
                EXPECT_FALSE(r.info.Found() & (TMP3Info::fLyrics3 | TMP3Info::fApe)) << "file " << i;
            }
        }
    }
}

}  // namespace
}  // namespace zentu
