// TMP3Info: where a file's audio data starts and ends, and its tags: MacBinary header, RIFF
// "data" and LIST/INFO chunks, ID3v2.2/2.3/2.4 texts, pictures and ReplayGain, ID3v1/1.1,
// Lyrics3 v1 and v2, APEv1/v2. The lines it keeps are byte strings as the file holds them;
// the texts it hands out are UTF-8, each read in the encoding its tag names or, where the
// tag names none, in the one that fits all the tag's texts best (UntypedEncoding).
#pragma once

#include <cmath>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/text_codec.h"
#include "player/frame_walk.h"
#include "player/mp_stream_reader.h"
#include "player/track_info.h"

namespace zentu {

class TMpegDecoder;

class TMP3Info {
public:
    enum TFound : uint32_t { fID3v1 = 1, fID3v2 = 2, fRiff = 4, fMacBinary = 8, fLyrics3 = 16, fApe = 32 };

    TMP3Info();
    ~TMP3Info();

    void Clear();
    // With a reader: Clear, then read from it. With nullptr: forget the reader only.
    void Attach(TMPStreamReader* reader);
    // MacBinary header, RIFF wrapper, ID3v2 tags from the read point; true when a byte follows.
    bool ReadLeadingInfo();
    // The first audio frame from the read point (the frame walk's search); moves AudioStart
    // to it and takes the distance off a known AudioLength.
    bool SeekFirstFrame();
    bool SeekFirstFrame(TFrameWalk& walk, TMpegDecoder& decoder);
    // The whole opening of a stream, as the player and LoadFromFile do it: the leading
    // information, the trailing tags (seekable readers), back to AudioStart, and the first
    // frame with `decoder` set up for it. False when no frame is found.
    bool FindAudio(TFrameWalk& walk, TMpegDecoder& decoder);
    // RIFF LIST/INFO, ID3v1, APE and Lyrics3 (seekable readers only). The audio ends
    // before an APE tag.
    bool ReadTrailingTags();
    // Reads a whole file by FindAudio; raises "unknown MPEG Audio format." when it is not
    // MPEG audio the player can open, and the stream's error when it cannot be read.
    void LoadFromFile(const std::string& fileName);

    // The texts as shown (UTF-8): the longest of the tags' candidates; the title falls back
    // to the file's name.
    std::string Title() const;
    std::string Artist() const;
    std::string Album() const;
    std::string Year() const;
    std::string Comment() const;

    // ReplayGain from ID3v2 TXXX frames, over them RVA2 frames, over both an APE tag.
    TReplayGain Gain() const;
    // The ID3v2 tag's front cover, else its first picture.
    const TPicture& Picture() const { return picture_; }
    // The picture handed over (a cover may be megabytes): the info holds none after.
    TPicture TakePicture() { return std::exchange(picture_, TPicture{}); }

    int64_t AudioStart() const { return audioStart_; }
    int64_t AudioLength() const { return audioLength_; }
    uint32_t Found() const { return found_; }
    const std::string& FileName() const { return fileName_; }
    int64_t MacDataStart() const { return macDataStart_; }
    int64_t MacDataLength() const { return macDataLength_; }
    int64_t MacDataEnd() const { return macDataEnd_; }
    int64_t MacResourceLength() const { return macResourceLength_; }
    int64_t RiffDataStart() const { return riffDataStart_; }
    int64_t RiffDataLength() const { return riffDataLength_; }
    int64_t Id3v1Start() const { return id3v1Start_; }
    int64_t LyricsStart() const { return lyricsStart_; }
    int64_t ApeStart() const { return apeStart_; }  // its header, or its first item without one
    // name=value lines, as read; Id3v2Frames holds the text frames (v2.2 titles, artists,
    // albums, years and comments under their v2.3 names) and the comment chosen; ApeItems
    // the APE tag's texts
    const std::vector<std::string>& RiffInfo() const { return riffInfo_; }
    const std::vector<std::string>& TagFields() const { return tagFields_; }
    const std::vector<std::string>& Id3v2Frames() const { return id3v2Frames_; }
    const std::vector<std::string>& LyricsFields() const { return lyricsFields_; }
    const std::vector<std::string>& ApeItems() const { return apeItems_; }

private:
    void ReadMacBinary();
    void ReadRiffHeader();
    bool ReadId3v2();
    // The texts and comments of a tag's frames, as far as they can be walked.
    void ReadId3v2Frames(uint8_t major, uint8_t flags, int64_t size, int64_t framesEnd);
    void ReadRiffInfo();
    bool ReadId3v1();
    // The tags that end at `end`: an APE tag, a Lyrics3 tag, or both in either order.
    void ReadTagsEndingAt(int64_t end);
    bool ReadApe(int64_t end);
    bool ReadLyrics3(int64_t end);
    // TXXX, RVA2, APIC and PIC frames, `data` after its format flags were undone.
    void ReadId3v2Gain(const std::string& id, const std::string& data);
    void ReadId3v2Picture(bool v22, const std::string& data);
    // Walks RIFF chunks from the read point to the one with this ID (and list type, when
    // given); the read point is then at its header.
    bool FindChunk(std::string_view id, std::string_view listType);
    // Reads n bytes from the read point, in pieces no larger than the ring.
    bool ReadBytes(int64_t n, std::string& out);
    void TakeOffLeadingTag(int64_t tagSize);

    TMPStreamReader* reader_ = nullptr;
    uint32_t found_ = 0;
    std::string fileName_;
    int64_t audioStart_ = 0;
    int64_t audioLength_ = kUnknownLength;
    int64_t macDataStart_ = 0, macDataLength_ = 0, macDataEnd_ = 0, macResourceLength_ = 0;
    int64_t riffDataStart_ = 0, riffDataLength_ = kUnknownLength;
    int64_t id3v1Start_ = 0, lyricsStart_ = 0, apeStart_ = 0;
    std::vector<std::string> riffInfo_, tagFields_, id3v2Frames_, lyricsFields_, apeItems_;
    // What the texts are in: each ID3v2 line's, and one for every other tag.
    std::vector<TTextEncoding> id3v2Encodings_;
    TTextEncoding id3v1Encoding_ = TTextEncoding::Windows1252, riffEncoding_ = TTextEncoding::Windows1252,
                  apeEncoding_ = TTextEncoding::Windows1252;
    TReplayGain txxxGain_, rva2Gain_, apeGain_;
    TPicture picture_;
    bool frontCover_ = false;  // picture_ is the front cover
};

// The ID3v1 genre texts by genre byte.
const char* Id3v1Genre(uint8_t genre);

}  // namespace zentu
