// The frame index of a file: one pass over its frame headers, on a thread of its own, by the
// frame walk's per-frame rule (player/frame_walk.h), so that frame n of the index is the
// frame n the walk would play. It answers where a frame starts and how many there are, for
// seeking and an exact length; before the pass has reached a place, a Xing table of
// contents gives a first, approximate answer.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "decoder/mpeg_decoder.h"
#include "platform/file_descriptor.h"
#include "player/frame_walk.h"

namespace zentu {

namespace mp3 {
// The table of contents of a Xing (or Info) header: entry i is where i percent of the
// playing time begins, in 256ths of `bytes`, counted from the header's own frame.
struct TXingToc {
    bool found = false;  // a header with a table
    uint8_t entries[100] = {};
    int32_t frames = -1;  // as stored, -1 when absent
    int32_t bytes = -1;
};
// Reads the table of the Xing or Info header in the frame at `frame` (`available` bytes
// readable), found where mp3::ParseVbrHeader finds it.
TXingToc ParseXingToc(const uint8_t* frame, int32_t available, const FrameHeader& header);
}  // namespace mp3

// The stream as the frame walk found it; positions are file offsets.
struct TFrameIndexSource {
    std::shared_ptr<const TFd> file;  // the open file, read with pread only
    int64_t dataStart = 0;  // the first audio frame (after a VBR header frame)
    int64_t dataLength = kUnknownLength;
    uint32_t referenceHeader = 0;
    int32_t freeFormatBase = 0;
    FrameHeader header{};   // the first frame's
    int64_t vbrFrame = -1;  // the VBR header frame stepped over; -1 when there was none
};
// The source of `walk` after Find and StepOverVbrHeader, read from `file`: a handle on the
// file the walk reads (a look by name might find another file by then).
TFrameIndexSource FrameIndexSource(TFd file, const TFrameWalk& walk);

class TFrameIndex {
public:
    explicit TFrameIndex(TFrameIndexSource source);
    // Stops a running pass at once and waits for its thread.
    ~TFrameIndex();
    TFrameIndex(const TFrameIndex&) = delete;
    TFrameIndex& operator=(const TFrameIndex&) = delete;

    // Runs the pass on a thread of its own (the first call only).
    void Start();
    // Runs the pass on the calling thread instead; returns when it is done or cancelled.
    void Run();
    // Makes a running pass stop at its next block of the file; it is then never Done.
    void Cancel() { cancel_ = true; }

    // All of the following may be called from any thread at any time.
    // The pass has reached the end of the data (a file that cannot be read: at once, with
    // no frames).
    bool Done() const;
    // Frames found so far; final once Done.
    int64_t FrameCount() const;
    // The file offset of frame `frame` (0: the first audio frame); false when the pass has
    // not reached it (or, once Done, when there is no such frame).
    bool OffsetOfFrame(int64_t frame, int64_t& offset) const;
    // The frame that plays at `ms` from the start (at least 0; it may lie past the last).
    int64_t FrameAtMs(int64_t ms) const;
    // The time, in ms, at which `frame` starts.
    int64_t MsOfFrame(int64_t frame) const;
    // Where the Xing table of contents puts `ms` (approximately: a frame starts near it);
    // false without a table or a frame count to scale it by, or past the end of the data.
    bool TocOffset(int64_t ms, int64_t& offset) const;

    int32_t SamplesPerFrame() const { return samplesPerFrame_; }  // per channel
    int32_t SampleRate() const { return sampleRate_; }

private:
    void Scan();
    void ReadToc(int fd);
    void Publish(std::vector<uint16_t>& steps, bool done);

    const TFrameIndexSource source_;
    const int32_t samplesPerFrame_;
    const int32_t sampleRate_;
    std::atomic<bool> cancel_{false};
    std::thread thread_;

    mutable std::mutex lock_;
    // Frame n starts at anchors_[n / kAnchorEvery] plus steps_ (n / kAnchorEvery *
    // kAnchorEvery, n]: two bytes a frame (a step is at most a frame and kResyncLimit).
    static constexpr int64_t kAnchorEvery = 64;
    std::vector<int64_t> anchors_;
    std::vector<uint16_t> steps_;
    int64_t lastOffset_ = 0;  // of the last frame published
    bool done_ = false;
    mp3::TXingToc toc_;
};

}  // namespace zentu
