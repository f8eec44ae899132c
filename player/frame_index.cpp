#include "player/frame_index.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace zentu {

namespace {

// Bytes read from the file at a time; a cancel takes effect between two of them.
constexpr int32_t kBlock = 1 << 18;

// Reads up to `count` bytes at `offset`; fewer only at the end of the file or on an error.
int64_t ReadAt(int fd, uint8_t* to, int64_t count, int64_t offset) {
    int64_t done = 0;
    while (done < count) {
        const ssize_t n = ::pread(fd, to + done, static_cast<size_t>(count - done), offset + done);
        if (n <= 0) break;
        done += n;
    }
    return done;
}

int64_t FileSize(int fd) {
    struct stat st {};
    return ::fstat(fd, &st) == 0 ? st.st_size : 0;
}

uint32_t Be32(const uint8_t* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}

}  // namespace

namespace mp3 {

TXingToc ParseXingToc(const uint8_t* frame, int32_t available, const FrameHeader& header) {
    TXingToc toc;
    const int32_t afterSideInfo = SideInfoEnd(header);
    for (const int32_t o : {afterSideInfo, header.protectionBit == 0 ? afterSideInfo + 2 : -1}) {
        if (o < 0 || o + 8 > available) continue;
        if (std::memcmp(frame + o, "Xing", 4) != 0 && std::memcmp(frame + o, "Info", 4) != 0) continue;
        const uint32_t flags = Be32(frame + o + 4);
        int32_t p = o + 8;
        for (const auto& [bit, field] : {std::pair{1u, &toc.frames}, std::pair{2u, &toc.bytes}}) {
            if (!(flags & bit)) continue;
            if (p + 4 > available) return toc;
            *field = static_cast<int32_t>(Be32(frame + p));
            p += 4;
        }
        if ((flags & 4) && p + 100 <= available) {
            std::memcpy(toc.entries, frame + p, 100);
            toc.found = true;
        }
        return toc;
    }
    return toc;
}

}  // namespace mp3

TFrameIndexSource FrameIndexSource(TFd file, const TFrameWalk& walk) {
    TFrameIndexSource s;
    s.file = std::make_shared<const TFd>(std::move(file));
    s.dataStart = walk.DataStart();
    s.dataLength = walk.DataLength();
    s.referenceHeader = walk.ReferenceHeader();
    s.freeFormatBase = walk.FreeFormatBase();
    s.header = walk.FirstHeader();
    s.vbrFrame = walk.FirstFrameOffset() < walk.DataStart() ? walk.FirstFrameOffset() : -1;
    return s;
}

TFrameIndex::TFrameIndex(TFrameIndexSource source)
    : source_(std::move(source)),
      samplesPerFrame_(SamplesPerFrameOf(source_.header)),
      sampleRate_(SampleRateOf(source_.header)),
      lastOffset_(source_.dataStart) {}

TFrameIndex::~TFrameIndex() {
    cancel_ = true;
    if (thread_.joinable()) thread_.join();
}

void TFrameIndex::Start() {
    if (!thread_.joinable()) thread_ = std::thread([this] { Run(); });
}

void TFrameIndex::Run() {
    try {
        Scan();
    } catch (const std::exception&) {
        // Out of memory: the index stays incomplete, as if cancelled.
    }
}

void TFrameIndex::ReadToc(int fd) {
    if (source_.vbrFrame < 0) return;
    uint8_t frame[512];
    const ssize_t n = ::pread(fd, frame, sizeof frame, source_.vbrFrame);
    if (n <= 0) return;
    const mp3::TXingToc toc = mp3::ParseXingToc(frame, static_cast<int32_t>(n), source_.header);
    const std::lock_guard<std::mutex> guard(lock_);
    toc_ = toc;
}

void TFrameIndex::Publish(std::vector<uint16_t>& steps, bool done) {
    const std::lock_guard<std::mutex> guard(lock_);
    int64_t at = lastOffset_;
    for (const uint16_t step : steps) {
        if (static_cast<int64_t>(steps_.size()) % kAnchorEvery == 0) anchors_.push_back(at + step);
        at += step;
        steps_.push_back(step);
    }
    steps.clear();
    lastOffset_ = at;
    done_ = done;
    if (done) {
        anchors_.shrink_to_fit();
        steps_.shrink_to_fit();
    }
}

// The frame walk's rule over the file: a frame of the stream at the position (its length
// judged by WholeLength), or a byte skipped, at most kResyncLimit in a row; the pass ends
// where the data ends, inside a frame, or after too many skipped bytes.
void TFrameIndex::Scan() {
    std::vector<uint16_t> steps;
    const int fd = source_.file ? source_.file->Get() : -1;
    if (fd < 0) return Publish(steps, true);
    ReadToc(fd);
    const int64_t fileSize = FileSize(fd);
    const TFrameIndexSource& s = source_;
    // The most that one frame needs to be judged: the longest frame twice and a header.
    const int32_t most = WholeLengthWindow(LongestFrame(s.freeFormatBase), s.freeFormatBase);
    // A file smaller than a block is read whole at once: its buffer is no larger than the file.
    const int64_t block = std::clamp<int64_t>(fileSize - s.dataStart, 0, kBlock);
    std::vector<uint8_t> buffer(static_cast<size_t>(block + most));
    int64_t bufferStart = s.dataStart, bufferEnd = s.dataStart;
    // Makes `n` bytes at `pos` readable (fewer at the end of the file); false when cancelled.
    auto ensure = [&](int64_t pos, int32_t n) {
        if (pos + n <= bufferEnd || bufferEnd >= fileSize) return true;
        if (cancel_) return false;
        Publish(steps, false);
        const int64_t keep = bufferEnd - pos;
        std::memmove(buffer.data(), buffer.data() + (pos - bufferStart), static_cast<size_t>(keep));
        bufferStart = pos;
        bufferEnd = pos + keep +
                    ReadAt(fd, buffer.data() + keep, static_cast<int64_t>(buffer.size()) - keep, bufferEnd);
        return true;
    };

    int64_t pos = s.dataStart, previous = s.dataStart;
    int32_t resync = 0;
    for (;;) {
        const int64_t dataLeft = s.dataLength - (pos - s.dataStart);
        if (dataLeft <= 0) break;
        if (!ensure(pos, most)) return;
        const int64_t have = bufferEnd - pos;
        if (have < 4) break;
        const uint8_t* p = buffer.data() + (pos - bufferStart);
        FrameHeader h;
        int32_t length = FrameLengthAt(p, s.referenceHeader, s.freeFormatBase, h);
        if (length <= 0) {
            if (resync >= kResyncLimit) break;
            ++pos;
            ++resync;
            continue;
        }
        if (length > have) break;  // the data ends inside this frame
        const auto want = static_cast<int32_t>(std::min<int64_t>(WholeLengthWindow(length, s.freeFormatBase), dataLeft));
        const auto window = static_cast<int32_t>(std::min<int64_t>(want, have));
        length = WholeLength(p, length, window, window < want ? window : dataLeft, s.referenceHeader, s.freeFormatBase);
        steps.push_back(static_cast<uint16_t>(pos - previous));
        previous = pos;
        pos += length;
        resync = 0;
    }
    Publish(steps, true);
}

bool TFrameIndex::Done() const {
    const std::lock_guard<std::mutex> guard(lock_);
    return done_;
}

int64_t TFrameIndex::FrameCount() const {
    const std::lock_guard<std::mutex> guard(lock_);
    return static_cast<int64_t>(steps_.size());
}

bool TFrameIndex::OffsetOfFrame(int64_t frame, int64_t& offset) const {
    const std::lock_guard<std::mutex> guard(lock_);
    if (frame < 0 || frame >= static_cast<int64_t>(steps_.size())) return false;
    const int64_t group = frame / kAnchorEvery;
    int64_t at = anchors_[static_cast<size_t>(group)];
    for (int64_t i = group * kAnchorEvery + 1; i <= frame; ++i) at += steps_[static_cast<size_t>(i)];
    offset = at;
    return true;
}

int64_t TFrameIndex::FrameAtMs(int64_t ms) const {
    if (ms <= 0 || samplesPerFrame_ <= 0) return 0;
    return ms * sampleRate_ / (int64_t{1000} * samplesPerFrame_);
}

int64_t TFrameIndex::MsOfFrame(int64_t frame) const {
    if (sampleRate_ <= 0) return 0;
    return frame * samplesPerFrame_ * 1000 / sampleRate_;
}

bool TFrameIndex::TocOffset(int64_t ms, int64_t& offset) const {
    mp3::TXingToc toc;
    {
        const std::lock_guard<std::mutex> guard(lock_);
        toc = toc_;
    }
    const TFrameIndexSource& s = source_;
    const int64_t duration = MsOfFrame(toc.frames);
    int64_t bytes = toc.bytes;
    if (bytes <= 0 && s.dataLength < kUnknownLength) bytes = s.dataStart + s.dataLength - s.vbrFrame;
    if (!toc.found || duration <= 0 || bytes <= 0) return false;
    const double percent = std::clamp(100.0 * static_cast<double>(ms) / static_cast<double>(duration), 0.0, 99.999);
    const auto i = static_cast<int32_t>(percent);
    const double a = toc.entries[i], b = i < 99 ? toc.entries[i + 1] : 256.0;
    const double at = (a + (b - a) * (percent - i)) / 256.0 * static_cast<double>(bytes);
    offset = std::max(s.dataStart, s.vbrFrame + static_cast<int64_t>(at));
    // A file cut short keeps the table of the whole.
    return offset - s.dataStart < s.dataLength;
}

}  // namespace zentu
