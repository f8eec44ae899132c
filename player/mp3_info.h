// TMP3Info: where a file's audio data starts and ends, and its tags: MacBinary header, RIFF
// "data" and LIST/INFO chunks, ID3v2.3 frames, ID3v1/1.1, Lyrics3 v1 and v2. Texts are byte
// strings as read; converting them for display is the application's job.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "player/mp_stream_reader.h"

namespace zentu {

inline constexpr int64_t kUnknownLength = 2147483647;

class TMP3Info {
public:
    enum TFound : uint32_t { fID3v1 = 1, fID3v2 = 2, fRiff = 4, fMacBinary = 8, fLyrics3 = 16 };

    TMP3Info();
    ~TMP3Info();

    void Clear();
    // With a reader: Clear, then read from it. With nullptr: forget the reader only.
    void Attach(TMPStreamReader* reader);
    // MacBinary header, RIFF wrapper, ID3v2 tag from the read point; true when a byte follows.
    bool ReadLeadingInfo();
    // The first audio frame within 1024 bytes of the read point.
    bool SeekFirstFrame();
    // RIFF LIST/INFO, ID3v1, Lyrics3 (seekable readers only).
    bool ReadTrailingTags();
    // Reads a whole file; raises "unknown MPEG Audio format." when it is not MPEG audio, and
    // the stream's error when it cannot be read.
    void LoadFromFile(const std::string& fileName);

    std::string Title() const;
    std::string Artist() const;
    std::string Album() const;
    std::string Year() const;
    std::string Comment() const;

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
    // name=value lines, as read
    const std::vector<std::string>& RiffInfo() const { return riffInfo_; }
    const std::vector<std::string>& TagFields() const { return tagFields_; }
    const std::vector<std::string>& Id3v2Frames() const { return id3v2Frames_; }
    const std::vector<std::string>& LyricsFields() const { return lyricsFields_; }

private:
    void ReadMacBinary();
    void ReadRiffHeader();
    void ReadId3v2();
    void ReadRiffInfo();
    bool ReadId3v1();
    bool ReadLyrics3();
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
    int64_t id3v1Start_ = 0, lyricsStart_ = 0;
    std::vector<std::string> riffInfo_, tagFields_, id3v2Frames_, lyricsFields_;
};

// The ID3v1 genre texts by genre byte.
const char* Id3v1Genre(uint8_t genre);

}  // namespace zentu
