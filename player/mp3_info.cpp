#include "player/mp3_info.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <cstring>
#include <memory>
#include <optional>
#include <string_view>
#include <utility>

#include "decoder/mpeg_decoder.h"
#include "player/frame_walk.h"
#include "platform/exceptions.h"
#include "platform/text_codec.h"

namespace zentu {

namespace {

constexpr int32_t kReaderCapacity = 65536;
constexpr int64_t kMacBinaryHeader = 128;
constexpr int64_t kId3v1Size = 128;
constexpr int64_t kId3v2Header = 10;
constexpr int64_t kLyricsEndMarker = 9;    // "LYRICSEND" or "LYRICS200"
constexpr int64_t kLyrics2SizeDigits = 6;  // the decimal tag size before "LYRICS200"
constexpr int64_t kLyrics1Window = 5100;   // how far back "LYRICSBEGIN" of version 1 may lie
constexpr size_t kMaxTagFrames = 512;
constexpr int64_t kMaxPicture = 16 << 20;    // larger pictures are passed over
constexpr int64_t kApeFooter = 32;           // the header has the same size
constexpr int64_t kMaxApeValue = 65536;      // larger values (binary items) are passed over
constexpr uint32_t kMaxApeItems = 1024;
constexpr std::string_view kLyricsBegin = "LYRICSBEGIN";

const std::array<const char*, 256> kGenres = [] {
    std::array<const char*, 256> g{};
    const char* const named[] = {
        "Blues", "Classic Rock", "Country", "Dance", "Disco", "Funk", "Grunge", "Hip-Hop", "Jazz",
        "Metal", "New Age", "Oldies", "Other", "Pop", "R&B", "Rap", "Reggae", "Rock", "Techno",
        "Industrial", "Alternative", "Ska", "Death Metal", "Pranks", "Soundtrack", "Euro-Techno",
        "Ambient", "Trip-Hop", "Vocal", "Jazz+Funk", "Fusion", "Trance", "Classical",
        "Instrumental", "Acid", "House", "Game", "Sound Clip", "Gospel", "Noise", "AlternRock",
        "Bass", "Soul", "Punk", "Space", "Meditative", "Instrumental Pop", "Instrumental Rock",
        "Ethnic", "Gothic", "Darkwave", "Techno-Industrial", "Electronic", "Pop-Folk", "Eurodance",
        "Dream", "Southern Rock", "Comedy", "Cult", "Gangsta", "Top 40", "Christian Rap",
        "Pop/Funk", "Jungle", "Native American", "Cabaret", "New Wave", "Psychadelic", "Rave",
        "Showtunes", "Trailer", "Lo-Fi", "Tribal", "Acid Punk", "Acid Jazz", "Polka", "Retro",
        "Musical", "Rock & Roll", "Hard Rock", "Folk", "Folk/Rock", "National Folk", "Swing",
        "Fast Fusion", "Bebob", "Latin", "Revival", "Celtic", "Bluegrass", "Avantgarde",
        "Gothic Rock", "Progressive Rock", "Psychedelic Rock", "Symphonic Rock", "Slow Rock",
        "Big Band", "Chorus", "Easy Listening", "Acoustic", "Humour", "Speech", "Chanson", "Opera",
        "Chamber Music", "Sonata", "Symphony", "Booty Bass", "Primus", "Porn Groove", "Satire",
        "Slow Jam", "Club", "Tango", "Samba", "Folklore", "Ballad", "Power Ballad", "Rhysmic Soul",
        "Freestyle", "Duet", "Punk Rock", "Drum Solo", "Acapella", "Euro-House", "Dance-Hall",
        "Goa", "Drum & Bass", "Hardcore", "Club-House", "Terror", "Indie", "BritPop", "Negerpunk",
        "Polsk Punk", "Beat", "Christian Gangsta Rap", "Heavy Metal", "Blank Metal", "Crossover",
        "Contemporrary Christian", "Christian Rock", "Merengue", "Salsa", "Trash Metal", "Anime",
        "JPop", "Synthpop"};
    static_assert(std::size(named) == 148);
    // 148 to 247 have no name; 248 to 255 are the Japanese additions
    const char* const japanese[] = {"Heavy Rock(J)", "Doom Rock(J)",     "J-POP(J)",  "Seiyu(J)",
                                    "Tecno Ambient(J)", "Moemoe(J)", "Tokusatsu(J)", "Anime(J)"};
    for (size_t i = 0; i < g.size(); ++i) g[i] = "";
    for (size_t i = 0; i < std::size(named); ++i) g[i] = named[i];
    for (size_t i = 0; i < std::size(japanese); ++i) g[248 + i] = japanese[i];
    return g;
}();

// A text field of fixed width: up to the first zero byte, without trailing bytes <= 32.
std::string FixedText(const uint8_t* p, int64_t width) {
    int64_t n = 0;
    while (n < width && p[n] != 0) ++n;
    while (n > 0 && p[n - 1] <= 32) --n;
    return std::string(reinterpret_cast<const char*>(p), static_cast<size_t>(n));
}

// A fixed-width text read as a decimal number; 0 when it is not one.
int64_t DecimalOrZero(const std::string& text) {
    size_t i = 0;
    while (i < text.size() && text[i] == ' ') ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    if (i == text.size()) return 0;
    int64_t value = 0;
    for (; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9') return 0;
        value = value * 10 + (text[i] - '0');
        if (value > kUnknownLength) return 0;  // wider than any size field we read
    }
    return negative ? -value : value;
}

int32_t BigEndian32(const uint8_t* p) {
    return static_cast<int32_t>(uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3]);
}

int32_t LittleEndian32(const uint8_t* p) {
    return static_cast<int32_t>(uint32_t{p[3]} << 24 | uint32_t{p[2]} << 16 | uint32_t{p[1]} << 8 | p[0]);
}

bool Matches(const uint8_t* p, std::string_view marker) {
    return std::memcmp(p, marker.data(), marker.size()) == 0;
}

int64_t RoundUpEven(int64_t n) { return n + (n & 1); }

// Four bytes of seven bits each, most significant first.
int64_t Syncsafe(const uint8_t* p) {
    return int64_t{p[0] & 0x7F} << 21 | int64_t{p[1] & 0x7F} << 14 | int64_t{p[2] & 0x7F} << 7 | (p[3] & 0x7F);
}

// Letters and digits (lower-case letters too, which some writers use).
bool IsFrameId(const uint8_t* p, size_t length) {
    for (size_t i = 0; i < length; ++i)
        if (!((p[i] >= 'A' && p[i] <= 'Z') || (p[i] >= 'a' && p[i] <= 'z') || (p[i] >= '0' && p[i] <= '9')))
            return false;
    return true;
}

// The ID in upper case; v2.2 frames of the five texts under their v2.3 names.
std::string Id3v2TextName(std::string id) {
    for (char& c : id)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    static constexpr std::pair<std::string_view, std::string_view> kNames[] = {
        {"TT2", "TIT2"}, {"TP1", "TPE1"}, {"TAL", "TALB"}, {"TYE", "TYER"}, {"COM", "COMM"}};
    for (const auto& [v22, v23] : kNames)
        if (id == v22) return std::string(v23);
    return id;
}

// Every FF 00 stands for FF.
std::string WithoutUnsynchronisation(const std::string& data) {
    std::string out;
    out.reserve(data.size());
    for (size_t i = 0; i < data.size(); ++i) {
        out += data[i];
        if (data[i] == '\xFF' && i + 1 < data.size() && data[i + 1] == '\0') ++i;
    }
    return out;
}

bool IsUtf16Encoding(uint8_t encoding) { return encoding == 1 || encoding == 2; }

// Where the text that starts at `from` ends: at its null (one zero byte, or a zero unit on
// a two-byte boundary in UTF-16), or at the end.
size_t TextEnd(std::string_view text, size_t from, uint8_t encoding) {
    if (!IsUtf16Encoding(encoding)) return std::min(text.find('\0', from), text.size());
    for (size_t i = from; i + 1 < text.size(); i += 2)
        if (text[i] == '\0' && text[i + 1] == '\0') return i;
    return text.size();
}

// A text of an ID3v2 frame as TMP3Info keeps it: as the frame holds it, empty when it has no
// character (a byte-order mark alone).
std::string FrameText(uint8_t encoding, std::string_view text) {
    const bool bom = IsUtf16Encoding(encoding) && text.size() >= 2 &&
                     ((text[0] == '\xFF' && text[1] == '\xFE') || (text[0] == '\xFE' && text[1] == '\xFF'));
    const bool utf8Bom = encoding == 3 && text.starts_with("\xEF\xBB\xBF");
    const size_t body = bom ? 2 : utf8Bom ? 3 : 0;
    return TextEnd(text, body, encoding) == body ? std::string() : std::string(text);
}

// The encoding an ID3v2 frame's encoding byte names; nullopt for ISO-8859-1, which taggers
// write in whatever code page they run in.
std::optional<TTextEncoding> Id3v2Encoding(uint8_t encoding, std::string_view text) {
    if (encoding == 3) return TTextEncoding::Utf8;
    if (!IsUtf16Encoding(encoding)) return std::nullopt;
    // UTF-16 with a byte-order mark, UTF-16BE, or UTF-16 whose writer left the mark out
    // (its first unit tells the order).
    const bool bigEndian = text.starts_with("\xFE\xFF") ||
                           (!text.starts_with("\xFF\xFE") &&
                            (encoding == 2 || (text.size() > 1 && text[0] == '\0' && text[1] != '\0')));
    return bigEndian ? TTextEncoding::Utf16BE : TTextEncoding::Utf16LE;
}

std::string_view ValueOf(std::string_view line) { return line.substr(line.find('=') + 1); }

// The values of name=value lines.
std::vector<std::string_view> Values(const std::vector<std::string>& lines) {
    std::vector<std::string_view> values;
    for (const std::string& line : lines) values.push_back(ValueOf(line));
    return values;
}

// The comment to show among the COMM frames of a tag: the first without a description,
// else the first whose description is not one of the players' private notes ("iTunNORM").
struct TCommentChoice {
    std::string text;
    std::optional<TTextEncoding> encoding;
    int rank = 3;

    void Offer(const std::string& data) {
        if (data.size() < 4) return;
        const auto encoding = static_cast<uint8_t>(data[0]);
        const std::string_view rest = std::string_view(data).substr(4);  // after the language
        const size_t descriptionEnd = TextEnd(rest, 0, encoding);
        const size_t textStart = std::min(rest.size(), descriptionEnd + (IsUtf16Encoding(encoding) ? 2 : 1));
        const std::string_view value = rest.substr(textStart);
        std::string shown = FrameText(encoding, value);
        if (shown.empty()) return;
        std::string description;
        for (char c : rest.substr(0, descriptionEnd))
            if (c >= ' ' && c <= '~') description += c;  // its letters, whatever the encoding
        const int r = description.empty() ? 0 : description.rfind("iTun", 0) == 0 ? 2 : 1;
        if (r < rank) {
            rank = r;
            text = std::move(shown);
            this->encoding = Id3v2Encoding(encoding, value);
        }
    }
};

// The printable ASCII letters of a text, whatever its encoding (UTF-16's zero bytes and
// byte-order marks fall away): enough for the names and numbers of ReplayGain.
std::string AsciiLetters(std::string_view text) {
    std::string letters;
    for (char c : text)
        if (c >= ' ' && c <= '~') letters += c;
    return letters;
}

// Equal without regard to the case of ASCII letters (whatever the locale).
bool SameLetters(std::string_view a, std::string_view b) {
    auto upper = [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; };
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [&](char x, char y) { return upper(x) == upper(y); });
}

// The number a ReplayGain value starts with ("-6.48 dB", "+2.1 dB", "0.988"); NaN when none.
float LeadingNumber(std::string_view text) {
    while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    float value = NAN;
    const bool number = std::from_chars(text.data(), text.data() + text.size(), value).ec == std::errc();
    return number && std::isfinite(value) ? value : NAN;
}

// A REPLAYGAIN_* name and value (TXXX, APE) into `gain`.
void TakeReplayGain(std::string_view name, std::string_view value, TReplayGain& gain) {
    static constexpr std::pair<std::string_view, float TReplayGain::*> kFields[] = {
        {"REPLAYGAIN_TRACK_GAIN", &TReplayGain::trackGain},
        {"REPLAYGAIN_TRACK_PEAK", &TReplayGain::trackPeak},
        {"REPLAYGAIN_ALBUM_GAIN", &TReplayGain::albumGain},
        {"REPLAYGAIN_ALBUM_PEAK", &TReplayGain::albumPeak}};
    for (const auto& [fieldName, field] : kFields) {
        if (!SameLetters(name, fieldName)) continue;
        const float number = LeadingNumber(value);
        const bool peak = fieldName.ends_with("PEAK");
        if (!std::isnan(number) && (!peak || number >= 0)) gain.*field = number;
    }
}

// Each field the later source has replaces the earlier one's.
void Overlay(TReplayGain& gain, const TReplayGain& over) {
    for (float TReplayGain::*field :
         {&TReplayGain::trackGain, &TReplayGain::trackPeak, &TReplayGain::albumGain, &TReplayGain::albumPeak})
        if (!std::isnan(over.*field)) gain.*field = over.*field;
}

// A picture's MIME type as frames give it ("image/jpeg", "PNG", "jpg"), or by its bytes
// when it has none.
std::string PictureMime(std::string format, const std::vector<uint8_t>& data) {
    for (char& c : format) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (format.empty()) {
        if (data.size() >= 3 && data[0] == 0xFF && data[1] == 0xD8 && data[2] == 0xFF) return "image/jpeg";
        if (data.size() >= 4 && data[0] == 0x89 && data[1] == 'P' && data[2] == 'N' && data[3] == 'G') return "image/png";
        return "application/octet-stream";
    }
    if (format.find('/') == std::string::npos) format = "image/" + format;
    return format == "image/jpg" ? "image/jpeg" : format;
}

// A frame's data as its format flags (`format`, the second flag byte) leave it: the group
// byte, the data length and unsynchronisation taken off; false for a compressed or
// encrypted frame, which cannot be read.
bool UndoFrameFormat(uint8_t major, uint8_t format, bool everyFrameUnsynchronised, std::string& data) {
    if (major == 3) {
        if (format & 0xC0) return false;
        if (format & 0x20) data.erase(0, 1);
    } else if (major == 4) {
        if (format & 0x0C) return false;
        if (format & 0x40) data.erase(0, 1);
        if (format & 0x01) data.erase(0, std::min<size_t>(4, data.size()));
        if ((format & 0x02) || everyFrameUnsynchronised) data = WithoutUnsynchronisation(data);
    }
    return true;
}

// The body of an ID3v2 tag, from the read point to the tag's end, read in pieces; with the
// unsynchronisation of the whole tag undone when it has one.
class TTagBody {
public:
    TTagBody(TMPStreamReader& reader, int64_t end, bool unsynchronised)
        : reader_(reader), end_(end), unsynchronised_(unsynchronised) {}
    // Bytes of the tag left, as stored.
    int64_t Left() const { return end_ - reader_.Position(); }
    // n bytes of the body appended to `out` (passed over with nullptr); false when the tag
    // or the stream ends first.
    bool Read(int64_t n, std::string* out) {
        if (!out && !unsynchronised_) {
            // Passed over without being read (a seek, for a file).
            if (n > Left()) return false;
            return reader_.Skip(n);
        }
        while (n > 0) {
            if (Left() <= 0) return false;
            const int32_t w = ReadWindow(reader_, static_cast<int32_t>(std::min<int64_t>(Left(), 16384)));
            if (w <= 0) return false;
            const uint8_t* p = reader_.Current();
            int32_t used = 0;
            if (!unsynchronised_) {
                used = static_cast<int32_t>(std::min<int64_t>(n, w));
                if (out) out->append(reinterpret_cast<const char*>(p), static_cast<size_t>(used));
                n -= used;
            } else {
                for (; used < w && n > 0; ++used) {
                    const uint8_t c = p[used];
                    const bool dropped = afterFF_ && c == 0;
                    afterFF_ = !dropped && c == 0xFF;
                    if (dropped) continue;
                    if (out) out->push_back(static_cast<char>(c));
                    --n;
                }
            }
            if (!reader_.Skip(used)) return false;
        }
        return true;
    }

private:
    TMPStreamReader& reader_;
    int64_t end_;
    bool unsynchronised_;
    bool afterFF_ = false;  // the byte before was FF: a zero byte now is no byte of the tag
};

struct TCandidateSource {
    const std::vector<std::string>* lines;
    std::string_view name;
    TTextEncoding encoding = TTextEncoding::Windows1252;    // of every line, unless
    const std::vector<TTextEncoding>* encodings = nullptr;  // each line has its own
};

// The value of the first line `name`=value in each source (name without regard to case),
// the longest of them, the earlier one on equal lengths, as UTF-8. Lengths count every byte
// as the tag holds it (a frame with a trailing zero byte is longer than the same letters
// without).
std::string Longest(std::initializer_list<TCandidateSource> sources) {
    std::string_view best;
    TTextEncoding encoding = TTextEncoding::Windows1252;
    for (const TCandidateSource& s : sources) {
        for (size_t i = 0; i < s.lines->size(); ++i) {
            const std::string_view line = (*s.lines)[i];
            const size_t eq = line.find('=');
            if (eq != s.name.size() || !SameLetters(line.substr(0, eq), s.name)) continue;
            if (ValueOf(line).size() > best.size()) {
                best = ValueOf(line);
                encoding = s.encodings ? (*s.encodings)[i] : s.encoding;
            }
            break;
        }
    }
    return TextToUtf8(best, encoding);
}

}  // namespace

const char* Id3v1Genre(uint8_t genre) { return kGenres[genre]; }

TMP3Info::TMP3Info() = default;
TMP3Info::~TMP3Info() = default;

void TMP3Info::Clear() {
    reader_ = nullptr;
    found_ = 0;
    fileName_.clear();
    riffInfo_.clear();
    tagFields_.clear();
    id3v2Frames_.clear();
    id3v2Encodings_.clear();
    id3v1Encoding_ = riffEncoding_ = apeEncoding_ = TTextEncoding::Windows1252;
    lyricsFields_.clear();
    apeItems_.clear();
    txxxGain_ = rva2Gain_ = apeGain_ = TReplayGain{};
    picture_ = TPicture{};
    frontCover_ = false;
    apeStart_ = 0;
    audioStart_ = 0;
    audioLength_ = kUnknownLength;
    riffDataStart_ = 0;
    riffDataLength_ = kUnknownLength;
}

void TMP3Info::Attach(TMPStreamReader* reader) {
    if (reader) Clear();
    reader_ = reader;
}

bool TMP3Info::ReadBytes(int64_t n, std::string& out) {
    TMPStreamReader& r = *reader_;
    out.clear();
    while (n > 0) {
        auto piece = static_cast<int32_t>(std::min<int64_t>(n, r.Capacity()));
        if (!r.Require(piece)) return false;
        out.append(reinterpret_cast<const char*>(r.Current()), static_cast<size_t>(piece));
        if (!r.Skip(piece)) return false;
        n -= piece;
    }
    return true;
}

void TMP3Info::TakeOffLeadingTag(int64_t tagSize) {
    // A tag larger than what the header before it announced leaves nothing, not less.
    if (audioLength_ != kUnknownLength) audioLength_ = std::max<int64_t>(0, audioLength_ - tagSize);
}

bool TMP3Info::ReadLeadingInfo() {
    if (!reader_) return false;
    ReadMacBinary();
    ReadRiffHeader();
    // Some files carry more than one tag, one after the other.
    while (ReadId3v2()) {
    }
    return reader_->Require(1);
}

void TMP3Info::ReadMacBinary() {
    TMPStreamReader& r = *reader_;
    if (!r.Require(static_cast<int32_t>(kMacBinaryHeader))) return;
    const uint8_t* p = r.Current();
    if (p[0] != 0 || p[74] != 0 || p[82] != 0 || p[1] < 1 || p[1] > 31) return;
    const int32_t dataLength = BigEndian32(p + 83);
    const int32_t resourceLength = BigEndian32(p + 87);
    if (dataLength < 0 || resourceLength < 0) return;
    if (!r.Skip(kMacBinaryHeader)) return;
    macDataStart_ = r.Position();
    macDataLength_ = dataLength;
    macDataEnd_ = macDataStart_ + dataLength;
    macResourceLength_ = resourceLength;
    audioStart_ = macDataStart_;
    audioLength_ = dataLength;
    found_ |= fMacBinary;
}

void TMP3Info::ReadRiffHeader() {
    TMPStreamReader& r = *reader_;
    if (!r.Require(12) || !Matches(r.Current(), "RIFF")) return;
    if (!r.Skip(12)) return;
    if (!FindChunk("data", {})) return;
    if (!r.Require(8)) return;
    const int32_t size = LittleEndian32(r.Current() + 4);
    if (size <= 0 || !Matches(r.Current(), "data")) return;
    riffDataLength_ = size;
    if (!r.Skip(8)) return;
    riffDataStart_ = r.Position();
    audioStart_ = riffDataStart_;
    audioLength_ = size;
    found_ |= fRiff;
}

bool TMP3Info::FindChunk(std::string_view id, std::string_view listType) {
    TMPStreamReader& r = *reader_;
    for (;;) {
        if (!r.Require(8)) return false;
        const int32_t size = LittleEndian32(r.Current() + 4);
        if (size < 1) return false;
        if (Matches(r.Current(), id)) {
            if (listType.empty()) return true;
            if (!r.Require(12)) return false;
            if (Matches(r.Current() + 8, listType)) return true;
        }
        // 64-bit: a size near the 32-bit limit must not wrap when the header is added
        if (!r.Skip(RoundUpEven(int64_t{size} + 8))) return false;
    }
}

bool TMP3Info::ReadId3v2() {
    TMPStreamReader& r = *reader_;
    const int64_t start = r.Position();
    if (!r.Require(static_cast<int32_t>(kId3v2Header)) || !Matches(r.Current(), "ID3")) return false;
    const uint8_t* p = r.Current();
    // Every byte counts with all eight bits, as the tag's writers of the time did.
    const int64_t size = int64_t{p[6]} << 21 | int64_t{p[7]} << 14 | int64_t{p[8]} << 7 | p[9];
    if (size == 0) return false;
    const uint8_t major = p[3], flags = p[5];
    // A v2.4 footer repeats the header after the frames.
    const int64_t tagSize = size + kId3v2Header + (major == 4 && (flags & 0x10) ? kId3v2Header : 0);
    const int64_t end = start + tagSize;
    if (major >= 2 && major <= 4) ReadId3v2Frames(major, flags, size, start + kId3v2Header + size);
    // The audio starts after the declared size, whatever the frames held: padding of any
    // length, unknown frames and pictures are all tag, and nothing in a tag is audio. A tag
    // that runs past the stream's end leaves no audio.
    if (r.Position() < end) r.Skip(end - r.Position());
    audioStart_ = r.Position();
    TakeOffLeadingTag(tagSize);
    found_ |= fID3v2;
    return true;
}

void TMP3Info::ReadId3v2Frames(uint8_t major, uint8_t flags, int64_t size, int64_t framesEnd) {
    TMPStreamReader& r = *reader_;
    if (major == 2 && (flags & 0x40)) return;  // a compressed v2.2 tag: no frame can be read
    if (!r.Skip(kId3v2Header)) return;
    // v2.2 and v2.3 unsynchronise the whole tag; v2.4 each frame (the tag's flag marks all).
    TTagBody body(r, framesEnd, (flags & 0x80) && major < 4);
    const bool everyFrameUnsynchronised = (flags & 0x80) && major == 4;
    if (major >= 3 && (flags & 0x40) && r.Require(4)) {
        // v2.3 counts the extended header without its size field (6 or 10 bytes then), v2.4
        // with it (syncsafe). Some writers set the flag and write no extended header: a size
        // that is none of these (the frame ID of the first frame) means the frames start here.
        const uint8_t* q = r.Current();
        const bool syncsafe = ((q[0] | q[1] | q[2] | q[3]) & 0x80) == 0;
        const int64_t rest = major == 3 ? int64_t{static_cast<uint32_t>(BigEndian32(q))} : Syncsafe(q) - 4;
        const bool valid = major == 3 ? rest >= 6 && rest <= size - 4 : syncsafe && rest >= 2 && rest <= size - 4;
        if (valid && !body.Read(4 + rest, nullptr)) return;
    }
    const size_t idLength = major == 2 ? 3 : 4;
    const int64_t headerLength = major == 2 ? 6 : 10;
    TCommentChoice comment;
    std::vector<size_t> untyped;  // this tag's ISO-8859-1 texts, read in one encoding at the end
    auto keep = [&](std::string line, std::optional<TTextEncoding> encoding) {
        if (!encoding) untyped.push_back(id3v2Frames_.size());
        id3v2Frames_.push_back(std::move(line));
        id3v2Encodings_.push_back(encoding.value_or(TTextEncoding::Windows1252));
    };
    for (size_t frames = 0; body.Left() >= headerLength; ++frames) {
        std::string header;
        if (!body.Read(headerLength, &header)) break;
        const auto* h = reinterpret_cast<const uint8_t*>(header.data());
        if (h[0] == 0 || !IsFrameId(h, idLength)) break;  // padding, or no frame any more
        int64_t frameSize;
        if (major == 2)
            frameSize = int64_t{h[3]} << 16 | int64_t{h[4]} << 8 | h[5];
        else if (major == 3 || (h[4] | h[5] | h[6] | h[7]) & 0x80)  // (some v2.4 writers: plain sizes)
            frameSize = static_cast<uint32_t>(BigEndian32(h + 4));
        else
            frameSize = Syncsafe(h + 4);
        // A frame that runs past the tag's end is cut there, and is the last.
        frameSize = std::min(frameSize, body.Left());
        const uint8_t format = major >= 3 ? h[9] : 0;
        std::string id = Id3v2TextName(std::string(header, 0, idLength));
        // Texts, comments and gains no larger than the ring are read, and every picture but
        // the very large while no front cover was found; the rest is passed over, as is
        // every frame after the first few hundred.
        const bool picture = id == "APIC" || id == "PIC";
        const bool small = frameSize <= r.Capacity() && frames < kMaxTagFrames;
        const bool wanted = picture ? frameSize <= kMaxPicture && !frontCover_
                                    : small && (id[0] == 'T' || id == "COMM" || id == "RVA2");
        std::string data;
        const bool whole = body.Read(frameSize, wanted ? &data : nullptr);
        if (wanted && UndoFrameFormat(major, format, everyFrameUnsynchronised, data) && !data.empty()) {
            if (picture)
                ReadId3v2Picture(major == 2, data);
            else if (id == "COMM")
                comment.Offer(data);
            else if (id == "TXXX" || id == "RVA2")
                ReadId3v2Gain(id, data);
            else {
                const auto encoding = static_cast<uint8_t>(data[0]);
                const std::string_view text = std::string_view(data).substr(1);
                keep(id + "=" + FrameText(encoding, text), Id3v2Encoding(encoding, text));
            }
        }
        if (!whole) break;
    }
    if (!comment.text.empty()) keep("COMM=" + comment.text, comment.encoding);
    std::vector<std::string_view> texts;
    for (size_t i : untyped) texts.push_back(ValueOf(id3v2Frames_[i]));
    const TTextEncoding encoding = UntypedEncoding(texts);
    for (size_t i : untyped) id3v2Encodings_[i] = encoding;
}

void TMP3Info::ReadId3v2Gain(const std::string& id, const std::string& data) {
    if (id == "TXXX") {
        // encoding, description, its null, the value
        const auto encoding = static_cast<uint8_t>(data[0]);
        const std::string_view rest = std::string_view(data).substr(1);
        const size_t nameEnd = TextEnd(rest, 0, encoding);
        const size_t valueStart = std::min(rest.size(), nameEnd + (IsUtf16Encoding(encoding) ? 2 : 1));
        TakeReplayGain(AsciiLetters(rest.substr(0, nameEnd)), AsciiLetters(rest.substr(valueStart)), txxxGain_);
        return;
    }
    // RVA2: an identification ("track", "album") and its null, then per channel its type,
    // the gain (signed, 1/512 dB), the bits of the peak and the peak in as many whole bytes.
    const size_t nameEnd = data.find('\0');
    if (nameEnd == std::string::npos) return;
    const bool album = SameLetters(std::string_view(data).substr(0, nameEnd), "album");
    for (size_t p = nameEnd + 1; p + 4 <= data.size();) {
        const auto* c = reinterpret_cast<const uint8_t*>(data.data() + p);
        const int bits = c[3];
        const size_t peakBytes = static_cast<size_t>((bits + 7) / 8);
        if (p + 4 + peakBytes > data.size()) return;
        if (c[0] == 1) {  // the master volume
            const float gain = static_cast<int16_t>(c[1] << 8 | c[2]) / 512.0f;
            double peak = 0;
            for (size_t k = 0; k < peakBytes; ++k) peak = peak * 256 + c[4 + k];
            (album ? rva2Gain_.albumGain : rva2Gain_.trackGain) = gain;
            if (bits > 0) (album ? rva2Gain_.albumPeak : rva2Gain_.trackPeak) = static_cast<float>(std::ldexp(peak, 1 - bits));
            return;
        }
        p += 4 + peakBytes;
    }
}

void TMP3Info::ReadId3v2Picture(bool v22, const std::string& data) {
    // encoding, MIME type and its null (v2.2: a three-letter format), picture type,
    // description and its null in the encoding, the picture
    const auto encoding = static_cast<uint8_t>(data[0]);
    size_t p = 1;
    std::string format;
    if (v22) {
        if (data.size() < 5) return;
        format = AsciiLetters(std::string_view(data).substr(1, 3));
        p = 4;
    } else {
        const size_t end = data.find('\0', 1);
        if (end == std::string::npos) return;
        format = AsciiLetters(std::string_view(data).substr(1, end - 1));
        p = end + 1;
    }
    if (p >= data.size()) return;
    const bool front = data[p] == 3;
    const std::string_view rest = std::string_view(data).substr(p + 1);
    const size_t descriptionEnd = TextEnd(rest, 0, encoding);
    if (descriptionEnd == rest.size()) return;  // no null: no picture after it
    const std::string_view bytes = rest.substr(descriptionEnd + (IsUtf16Encoding(encoding) ? 2 : 1));
    if (bytes.empty() || (!picture_.data.empty() && !front)) return;
    picture_.data.assign(bytes.begin(), bytes.end());
    picture_.mime = PictureMime(format, picture_.data);
    frontCover_ = front;
}

bool TMP3Info::SeekFirstFrame() {
    if (!reader_) return false;
    TMpegDecoder decoder;
    TFrameWalk walk(*reader_);
    return SeekFirstFrame(walk, decoder);
}

bool TMP3Info::SeekFirstFrame(TFrameWalk& walk, TMpegDecoder& decoder) {
    if (!reader_) return false;
    TMPStreamReader& r = *reader_;
    // The audio length counts from AudioStart; the search may start further on (a stream
    // that cannot be rewound, after a wrapper that was not recognised).
    int64_t length = audioLength_;
    if (length < kUnknownLength) length = std::max<int64_t>(0, length - std::max<int64_t>(0, r.Position() - audioStart_));
    if (!walk.Find(length, decoder)) return false;
    audioStart_ = walk.DataStart();
    if (audioLength_ < kUnknownLength) audioLength_ = walk.DataLength();
    return true;
}

bool TMP3Info::FindAudio(TFrameWalk& walk, TMpegDecoder& decoder) {
    if (!reader_) return false;
    ReadLeadingInfo();
    if (reader_->Seekable()) {
        ReadTrailingTags();
        reader_->Seek(audioStart_, TSeekOrigin::soBeginning);
    }
    return SeekFirstFrame(walk, decoder);
}

bool TMP3Info::ReadTrailingTags() {
    if (!reader_ || !reader_->Seekable()) return false;
    TMPStreamReader& r = *reader_;
    if (audioLength_ == kUnknownLength) audioLength_ = std::max<int64_t>(0, r.Size() - audioStart_);
    if (found_ & fRiff) {
        try {
            r.Seek(RoundUpEven(riffDataStart_ + riffDataLength_), TSeekOrigin::soBeginning);
            FindChunk("LIST", "INFO");
            ReadRiffInfo();
        } catch (const Exception&) {
            // A damaged INFO list costs its entries, never the tags after it.
        }
        riffEncoding_ = UntypedEncoding(Values(riffInfo_));
    }
    if (ReadId3v1()) found_ |= fID3v1;
    ReadTagsEndingAt((found_ & fID3v1) ? id3v1Start_ : (found_ & fMacBinary) ? macDataEnd_ : r.Size());
    // Nothing from the APE tag on is audio (its binary items could pass for frames).
    if (found_ & fApe) audioLength_ = std::clamp<int64_t>(apeStart_ - audioStart_, 0, audioLength_);
    return true;
}

void TMP3Info::ReadTagsEndingAt(int64_t end) {
    // Taggers put an APE tag before or after a Lyrics3 tag.
    if (ReadApe(end)) {
        found_ |= fApe;
        if (ReadLyrics3(apeStart_)) found_ |= fLyrics3;
    } else if (ReadLyrics3(end)) {
        found_ |= fLyrics3;
        if (ReadApe(lyricsStart_)) found_ |= fApe;
    }
}

bool TMP3Info::ReadApe(int64_t end) {
    // The footer: "APETAGEX", version (1000 or 2000), the size of the items and the footer,
    // the item count, flags (bit 31: a header precedes the items; bit 29: this is that
    // header), 8 zero bytes. All little-endian.
    TMPStreamReader& r = *reader_;
    const int64_t footer = end - kApeFooter;
    if (footer < 0 || end > r.Size()) return false;
    r.Seek(footer, TSeekOrigin::soBeginning);
    if (!r.Require(static_cast<int32_t>(kApeFooter)) || !Matches(r.Current(), "APETAGEX")) return false;
    const uint8_t* f = r.Current();
    const auto version = static_cast<uint32_t>(LittleEndian32(f + 8));
    const auto size = static_cast<uint32_t>(LittleEndian32(f + 12));
    const auto count = static_cast<uint32_t>(LittleEndian32(f + 16));
    const auto flags = static_cast<uint32_t>(LittleEndian32(f + 20));
    const int64_t itemsStart = end - int64_t{size};
    const int64_t start = itemsStart - ((flags & 0x80000000u) ? kApeFooter : 0);
    if ((version != 1000 && version != 2000) || (flags & 0x20000000u) || size < kApeFooter || start < 0) return false;
    apeStart_ = start;
    r.Seek(itemsStart, TSeekOrigin::soBeginning);
    // Each item: the value's size, flags (bits 1-2: 0 text, 1 binary, 2 a link), the key
    // (ASCII) and its null, the value. Version 2 texts are UTF-8.
    for (uint32_t i = 0; i < std::min(count, kMaxApeItems) && r.Position() + 9 <= footer; ++i) {
        const int32_t window = ReadWindow(r, static_cast<int32_t>(std::min<int64_t>(footer - r.Position(), 8 + 256)));
        if (window < 9) break;
        const uint8_t* item = r.Current();
        const auto valueSize = static_cast<uint32_t>(LittleEndian32(item));
        const auto itemFlags = static_cast<uint32_t>(LittleEndian32(item + 4));
        const auto* keyEnd = static_cast<const uint8_t*>(std::memchr(item + 8, 0, static_cast<size_t>(window - 8)));
        if (!keyEnd) break;
        const std::string key(reinterpret_cast<const char*>(item + 8), static_cast<size_t>(keyEnd - item - 8));
        if (!r.Skip(keyEnd + 1 - item) || r.Position() + valueSize > footer) break;
        std::string value;
        const bool text = (itemFlags & 6) == 0 && valueSize <= kMaxApeValue;
        if (!text) {
            if (!r.Skip(valueSize)) break;
            continue;
        }
        if (!ReadBytes(valueSize, value)) break;
        if (SameLetters(key.substr(0, 11), "REPLAYGAIN_"))
            TakeReplayGain(key, value, apeGain_);
        else if (!key.empty())
            apeItems_.push_back(key + "=" + value);
    }
    // Version 2 texts are UTF-8; version 1 says nothing.
    apeEncoding_ = version == 2000 ? TTextEncoding::Utf8 : UntypedEncoding(Values(apeItems_));
    return true;
}

void TMP3Info::ReadRiffInfo() {
    TMPStreamReader& r = *reader_;
    if (!r.Require(8) || !Matches(r.Current(), "LIST")) return;
    const int32_t size = LittleEndian32(r.Current() + 4);
    if (size < 0 || !r.Require(12) || !Matches(r.Current() + 8, "INFO")) return;
    const int64_t end = r.Position() + size + 8;
    if (!r.Skip(12)) return;
    while (r.Position() < end) {
        if (!r.Require(8)) return;
        const std::string id = FixedText(r.Current(), 4);
        const int32_t entrySize = LittleEndian32(r.Current() + 4);
        if (!r.Skip(8) || entrySize < 0) return;
        if (id == "IID3") return;
        // An entry larger than the ring raises the reader's assertion; the caller absorbs it.
        if (!r.Require(entrySize)) return;
        std::string value = FixedText(r.Current(), entrySize);
        if (!id.empty() && !value.empty()) riffInfo_.push_back(id + "=" + value);
        if (!r.Skip(RoundUpEven(entrySize))) return;
    }
}

bool TMP3Info::ReadId3v1() {
    TMPStreamReader& r = *reader_;
    const int64_t p = ((found_ & fMacBinary) ? macDataEnd_ : r.Size()) - kId3v1Size;
    if (p < 0 || p > r.Size()) return false;
    r.Seek(p, TSeekOrigin::soBeginning);
    if (!r.Require(static_cast<int32_t>(kId3v1Size))) return false;
    const uint8_t* t = r.Current();
    if (!Matches(t, "TAG")) return false;
    tagFields_.push_back("TITLE=" + FixedText(t + 3, 30));
    tagFields_.push_back("ARTIST=" + FixedText(t + 33, 30));
    tagFields_.push_back("ALBUM=" + FixedText(t + 63, 30));
    tagFields_.push_back("YEAR=" + FixedText(t + 93, 4));
    tagFields_.push_back("COMMENT=" + FixedText(t + 97, 30));
    tagFields_.push_back(std::string("GENRE=") + Id3v1Genre(t[127]));
    if (t[125] == 0) tagFields_.push_back("TRACK=" + std::to_string(t[126]));
    id3v1Encoding_ = UntypedEncoding(Values(tagFields_));
    id3v1Start_ = r.Position();
    return r.Skip(kId3v1Size);
}

bool TMP3Info::ReadLyrics3(int64_t tagEnd) {
    TMPStreamReader& r = *reader_;
    const int64_t e = tagEnd - kLyricsEndMarker;
    if (e < 0 || e > r.Size()) return false;
    r.Seek(e, TSeekOrigin::soBeginning);
    if (!r.Require(static_cast<int32_t>(kLyricsEndMarker))) return false;

    if (Matches(r.Current(), "LYRICSEND")) {
        const int64_t a = std::max<int64_t>(0, e - kLyrics1Window);
        r.Seek(a, TSeekOrigin::soBeginning);
        std::string window;
        if (!ReadBytes(e - a, window)) return false;
        const size_t k = window.find(kLyricsBegin);
        if (k == std::string::npos) return false;
        lyricsFields_.push_back("LYRICS=" + window.substr(k + kLyricsBegin.size()));
        lyricsStart_ = a + static_cast<int64_t>(k);
        return true;
    }

    if (!Matches(r.Current(), "LYRICS200")) return false;
    const int64_t sizeAt = e - kLyrics2SizeDigits;
    if (sizeAt < 0) return false;  // no room for the size digits before the marker
    r.Seek(sizeAt, TSeekOrigin::soBeginning);
    if (!r.Require(static_cast<int32_t>(kLyrics2SizeDigits))) return false;
    const int64_t n = DecimalOrZero(FixedText(r.Current(), kLyrics2SizeDigits));
    if (n <= 0) return false;
    const int64_t begin = sizeAt - n;
    if (begin < 0) return false;
    lyricsStart_ = begin;
    r.Seek(begin, TSeekOrigin::soBeginning);
    if (!r.Require(static_cast<int32_t>(kLyricsBegin.size())) || !Matches(r.Current(), kLyricsBegin)) return false;
    if (!r.Skip(static_cast<int64_t>(kLyricsBegin.size()))) return false;
    while (r.Position() < sizeAt) {
        if (!r.Require(8)) return false;
        const std::string id = FixedText(r.Current(), 3);
        const int64_t length = DecimalOrZero(FixedText(r.Current() + 3, 5));
        if (length <= 0 || !r.Skip(8) || r.Position() + length > sizeAt) return false;
        std::string contents;
        if (!ReadBytes(length, contents)) return false;
        lyricsFields_.push_back(id + "=" + contents);
    }
    return true;
}

void TMP3Info::LoadFromFile(const std::string& fileName) {
    // The stream outlives the reader that borrows it.
    std::unique_ptr<TMPFileStream> stream;
    TMPStreamReader reader(kReaderCapacity);
    try {
        stream = std::make_unique<TMPFileStream>(fileName);
        reader.Open(stream.get(), true);
        Attach(&reader);
        fileName_ = fileName;
        // Exactly what opening the file in the player does, so that the two always agree.
        TMpegDecoder decoder;
        TFrameWalk walk(reader);
        if (!FindAudio(walk, decoder)) throw Exception("unknown MPEG Audio format.");
    } catch (...) {
        Clear();
        throw;
    }
    Attach(nullptr);
}

TReplayGain TMP3Info::Gain() const {
    TReplayGain gain = txxxGain_;
    Overlay(gain, rva2Gain_);
    Overlay(gain, apeGain_);
    return gain;
}

std::string TMP3Info::Title() const {
    std::string title = Longest({{&tagFields_, "TITLE", id3v1Encoding_},
                                 {&id3v2Frames_, "TIT2", {}, &id3v2Encodings_},
                                 {&riffInfo_, "INAM", riffEncoding_},
                                 {&apeItems_, "TITLE", apeEncoding_}});
    if (title.empty()) title = UntypedTextToUtf8(fileName_.substr(fileName_.find_last_of('/') + 1));
    return title;
}

std::string TMP3Info::Artist() const {
    return Longest({{&tagFields_, "ARTIST", id3v1Encoding_},
                    {&id3v2Frames_, "TPE1", {}, &id3v2Encodings_},
                    {&riffInfo_, "IART", riffEncoding_},
                    {&apeItems_, "ARTIST", apeEncoding_}});
}

std::string TMP3Info::Album() const {
    return Longest({{&tagFields_, "ALBUM", id3v1Encoding_},
                    {&id3v2Frames_, "TALB", {}, &id3v2Encodings_},
                    {&riffInfo_, "IPRD", riffEncoding_},
                    {&apeItems_, "ALBUM", apeEncoding_}});
}

std::string TMP3Info::Year() const {
    return Longest({{&tagFields_, "YEAR", id3v1Encoding_},
                    {&id3v2Frames_, "TYER", {}, &id3v2Encodings_},
                    {&id3v2Frames_, "TDRC", {}, &id3v2Encodings_},
                    {&riffInfo_, "ICRD", riffEncoding_},
                    {&apeItems_, "YEAR", apeEncoding_}});
}

std::string TMP3Info::Comment() const {
    return Longest({{&tagFields_, "COMMENT", id3v1Encoding_},
                    {&id3v2Frames_, "COMM", {}, &id3v2Encodings_},
                    {&riffInfo_, "ICMT", riffEncoding_},
                    {&apeItems_, "COMMENT", apeEncoding_}});
}

}  // namespace zentu
