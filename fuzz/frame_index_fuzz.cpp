// Arbitrary bytes as a file, walked by the frame walk as zentu-decode walks it and scanned by
// the frame index (from a memory file): the index's frames must be the walk's, frame for
// frame, and its Xing table is read from what the walk took for a VBR header.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/exceptions.h"
#include "player/frame_index.h"
#include "player/mp3_info.h"
#include "player/mp_stream.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace zentu;
    static const int fd = memfd_create("frame_index_fuzz", MFD_CLOEXEC);
    if (fd < 0 || ftruncate(fd, 0) != 0 || pwrite(fd, data, size, 0) != static_cast<ssize_t>(size)) std::abort();
    TMPMemoryStream stream(data, size);
    TMPStreamReader reader(65536);
    TMpegDecoder decoder;
    TFrameWalk walk(reader);
    std::vector<int64_t> frames;
    TFrameIndexSource source;
    try {
        reader.Open(&stream, true);
        TMP3Info info;
        info.Attach(&reader);
        const bool found = info.FindAudio(walk, decoder);
        info.Attach(nullptr);
        if (!found) return 0;
        walk.StepOverVbrHeader();
        source = FrameIndexSource(TFd(::fcntl(fd, F_DUPFD_CLOEXEC, 0)), walk);
        for (TFrameWalk::TStep step; (step = walk.Frame(decoder)) != TFrameWalk::TStep::stEnd;) {
            if (step != TFrameWalk::TStep::stFrame) continue;
            frames.push_back(reader.Position());
            walk.Next();
        }
    } catch (const Exception&) {
        return 0;
    }
    TFrameIndex index(source);
    index.Run();
    if (!index.Done() || index.FrameCount() != static_cast<int64_t>(frames.size())) std::abort();
    for (size_t f = 0; f < frames.size(); ++f) {
        int64_t at = -1;
        if (!index.OffsetOfFrame(static_cast<int64_t>(f), at) || at != frames[f]) std::abort();
    }
    int64_t offset;
    index.TocOffset(index.MsOfFrame(index.FrameCount()) / 3, offset);
    return 0;
}
