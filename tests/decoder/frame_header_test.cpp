#include <gtest/gtest.h>

#include <vector>

#include "decoder/mpeg_decoder.h"

namespace zentu {
namespace {

int32_t Parse(std::vector<uint8_t> b, FrameHeader& h, int32_t* bitrate = nullptr) {
    int32_t br = 0;
    int32_t r = ParseFrameHeaderWithBitrate(b.data(), 0, h, br);
    if (bitrate) *bitrate = br;
    return r;
}

TEST(FrameHeader, LengthsAndBitRates) {
    FrameHeader h;
    int32_t br;
    EXPECT_EQ(Parse({0xFF, 0xFB, 0x90, 0x64}, h, &br), 417);
    EXPECT_EQ(br, 128000);
    EXPECT_EQ(h.syncKind, 1);
    EXPECT_EQ(h.versionBit, 1);
    EXPECT_EQ(h.layerCode, 1);
    EXPECT_EQ(h.mode, 1);
    EXPECT_EQ(h.modeExtension, 2);
    // padded: the caller adds one slot
    EXPECT_EQ(Parse({0xFF, 0xFB, 0x92, 0x64}, h), 417);
    EXPECT_EQ(h.paddingBit, 1);
    EXPECT_EQ(Parse({0xFF, 0xF3, 0x40, 0xC0}, h), 104);  // MPEG-2 Layer III 32 kbit/s 22.05 kHz
    EXPECT_EQ(Parse({0xFF, 0xE3, 0x40, 0xC0}, h), 208);  // MPEG-2.5 Layer III 32 kbit/s 11.025 kHz
    EXPECT_EQ(h.syncKind, 2);
    EXPECT_EQ(Parse({0xFF, 0xFF, 0x10, 0x00}, h), 32);  // Layer I 32 kbit/s 44.1 kHz
    EXPECT_EQ(PaddingSlot(h.layerCode), 4);
}

TEST(FrameHeader, Failures) {
    FrameHeader h;
    EXPECT_EQ(Parse({0xFF, 0xF9, 0x90, 0x64}, h), 0);  // layer code 0
    EXPECT_EQ(h.syncKind, 1);
    EXPECT_EQ(Parse({0xFF, 0xFB, 0xF0, 0x64}, h), 0);  // bit-rate index 15
    EXPECT_EQ(Parse({0xFE, 0xFB, 0x90, 0x64}, h), 0);  // no sync
    EXPECT_EQ(h.syncKind, 0);
    EXPECT_LT(Parse({0xFF, 0xFB, 0x9C, 0x64}, h), 0);  // sample-rate index 3
    EXPECT_EQ(Parse({0xFF, 0xFB, 0x00, 0x64}, h), 0);  // free format, no window
}

// A free-format Layer II stream of frames of `len` bytes, the first one padded.
std::vector<uint8_t> FreeFormatStream(int len, int frames, bool padFirst) {
    std::vector<uint8_t> s;
    for (int i = 0; i < frames; ++i) {
        const bool pad = padFirst && i == 0;
        std::vector<uint8_t> f(static_cast<size_t>(len + (pad ? 1 : 0)), 0x55);
        f[0] = 0xFF;
        f[1] = 0xFD;
        f[2] = static_cast<uint8_t>(0x04 | (pad ? 0x02 : 0));  // free format, 48 kHz
        f[3] = 0xC4;
        s.insert(s.end(), f.begin(), f.end());
    }
    return s;
}

TEST(FrameHeader, FreeFormatMeasurement) {
    FrameHeader h;
    int32_t br = 0;
    auto s = FreeFormatStream(500, 6, false);
    EXPECT_EQ(ParseFrameHeaderWithBitrate(s.data(), static_cast<int32_t>(s.size()), h, br), 500);
    EXPECT_EQ(br, 960 * 500 * 1000 / 2880);
    auto p = FreeFormatStream(500, 6, true);  // padded first frame: the slot is taken off
    EXPECT_EQ(ParseFrameHeader(p.data(), static_cast<int32_t>(p.size()), h), 500);
    // the next header must lie whole inside the window
    EXPECT_EQ(ParseFrameHeader(s.data(), 520, h), 500);
    EXPECT_EQ(ParseFrameHeader(s.data(), 502, h), 0);
}

TEST(FrameHeader, FindFirstFrameTakesTheFirstCandidate) {
    std::vector<uint8_t> b = {0x00, 0x11, 0xFF, 0xE0, 0x00, 0x00, 0xFF, 0xFB, 0x90, 0x64};
    FrameHeader h;
    int32_t br = 0, off = -1;
    EXPECT_EQ(FindFirstFrame(b.data(), static_cast<int32_t>(b.size()), h, br, off), 0);  // false sync, reported
    EXPECT_EQ(off, 2);
    std::vector<uint8_t> none = {0x00, 0xFF};
    off = -1;
    EXPECT_EQ(FindFirstFrame(none.data(), 2, h, br, off), 0);
    EXPECT_EQ(off, -1);
    std::vector<uint8_t> good = {0x12, 0xFF, 0xFB, 0x90, 0x64};
    EXPECT_EQ(FindFirstFrame(good.data(), 5, h, br, off), 417);
    EXPECT_EQ(off, 1);
    EXPECT_EQ(br, 128000);
}

}  // namespace
}  // namespace zentu
