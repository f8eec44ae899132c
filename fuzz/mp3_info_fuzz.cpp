// Arbitrary bytes through a memory stream and the reader into TMP3Info (every tag it knows:
// texts, APE items, gains and pictures). The first byte picks
// the reading: bit 0 a seekable stream, bits 1-2 the ring's capacity (small rings exercise
// the paths for tags larger than the ring). Nothing may escape or break the results' bounds.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "player/mp3_info.h"

namespace {

constexpr int32_t kCapacities[] = {65536, 4096, 512, 128};

void Check(bool ok) {
    if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace zentu;
    if (size < 1) return 0;
    const bool seekable = data[0] & 1;
    const int32_t capacity = kCapacities[(data[0] >> 1) & 3];
    TMPMemoryStream stream(data + 1, size - 1);
    TMPStreamReader reader(capacity);
    reader.Open(&stream, seekable);
    TMP3Info info;
    info.Attach(&reader);
    info.ReadLeadingInfo();
    info.SeekFirstFrame();
    const bool trailing = info.ReadTrailingTags();
    Check(trailing == seekable);

    const auto fileSize = static_cast<int64_t>(size - 1);
    Check(info.AudioStart() >= 0 && info.AudioStart() <= fileSize);
    Check(info.AudioLength() >= 0);
    if (info.Found() & TMP3Info::fID3v1) Check(info.Id3v1Start() >= 0 && info.Id3v1Start() + 128 <= fileSize);
    if (info.Found() & TMP3Info::fLyrics3) Check(info.LyricsStart() >= 0 && info.LyricsStart() < fileSize);
    if (info.Found() & TMP3Info::fRiff) Check(info.RiffDataStart() <= fileSize);
    if (info.Found() & TMP3Info::fApe) Check(info.ApeStart() >= 0 && info.ApeStart() < fileSize);
    Check(info.Picture().data.size() <= size && info.Picture().data.empty() == info.Picture().mime.empty());
    const TReplayGain gain = info.Gain();
    Check(!(gain.trackPeak < 0) && !(gain.albumPeak < 0));
    size_t total = info.Title().size() + info.Artist().size() + info.Album().size() + info.Year().size() +
                   info.Comment().size();
    Check(total <= 5 * size);
    info.Attach(nullptr);
    return 0;
}
