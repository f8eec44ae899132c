#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "decoder/mpeg_decoder.h"
#include "decoder/tables/iso_tables.h"

namespace zentu {
namespace {

class BitWriter {
public:
    void Put(uint32_t value, int bits) {
        for (int i = bits - 1; i >= 0; --i) {
            if (used_ == 0) bytes_.push_back(0);
            if ((value >> i) & 1) bytes_.back() |= static_cast<uint8_t>(0x80 >> used_);
            used_ = (used_ + 1) & 7;
        }
    }
    std::vector<uint8_t> Bytes(size_t size) {
        bytes_.resize(size, 0);
        return bytes_;
    }

private:
    std::vector<uint8_t> bytes_;
    int used_ = 0;
};

FrameHeader HeaderOf(const std::vector<uint8_t>& f, int32_t* base) {
    FrameHeader h;
    *base = ParseFrameHeader(f.data(), 0, h);
    return h;
}

// A single-channel Layer I frame (448 kbit/s, 44.1 kHz) whose only allocation is in
// subband `band`, carrying a full-scale alternating signal there.
std::vector<uint8_t> Layer1ToneFrame(int band) {
    BitWriter w;
    w.Put(0xFFFF, 16);  // sync, MPEG-1, Layer I, no CRC
    w.Put(0xE0, 8);     // 448 kbit/s, 44.1 kHz, no padding
    w.Put(0xC0, 8);     // single channel
    for (int sb = 0; sb < 32; ++sb) w.Put(sb == band ? 4 : 0, 4);  // 5 bits per sample
    w.Put(0, 6);                                                    // scale factor index 0
    for (int t = 0; t < 12; ++t) w.Put(t & 1 ? 0 : 30, 5);
    return w.Bytes(static_cast<size_t>((448 * 240 / 882) * 4));
}

double Energy(const std::vector<uint8_t>& pcm) {
    double e = 0;
    for (size_t i = 0; i + 1 < pcm.size(); i += 2) {
        const auto v = static_cast<int16_t>(pcm[i] | (pcm[i + 1] << 8));
        e += double(v) * v;
    }
    return e;
}

TEST(Layer1, TheTopSubbandIsDecoded) {
    const auto frame = Layer1ToneFrame(31);
    int32_t base;
    const FrameHeader h = HeaderOf(frame, &base);
    ASSERT_EQ(base, 484);
    TMpegDecoder d;
    ASSERT_EQ(d.Open(h, base, 0, 0, 0, 24000), 1);
    const DecodedFormat f = d.GetDecodedFormat();
    EXPECT_EQ(f.channels, 1);
    EXPECT_EQ(f.samplesPerFrame, 384);
    EXPECT_EQ(f.sampleRate, 44100);
    std::vector<uint8_t> pcm(kMaxPcmBytesPerFrame);
    double energy = 0;
    for (int i = 0; i < 4; ++i) {
        const DecodeResult r = d.DecodeFrame(frame.data(), static_cast<int32_t>(frame.size()), pcm.data());
        EXPECT_EQ(r.consumed, 484);
        EXPECT_EQ(r.produced, 768);
        pcm.resize(768);
        energy += Energy(pcm);
    }
    EXPECT_GT(energy, 1e9);  // near full scale, above 21.7 kHz
}

TEST(Layer1, DamagedAndTruncatedFramesAreSafe) {
    auto frame = Layer1ToneFrame(5);
    int32_t base;
    const FrameHeader h = HeaderOf(frame, &base);
    TMpegDecoder d;
    ASSERT_EQ(d.Open(h, base, 0, 0, 0, 24000), 1);
    std::vector<uint8_t> pcm(kMaxPcmBytesPerFrame);
    // only 6 bytes readable: a frame cut short is refused, nothing outside is touched
    std::vector<uint8_t> shortFrame(frame.begin(), frame.begin() + 6);
    EXPECT_EQ(d.DecodeFrame(shortFrame.data(), 6, pcm.data()).consumed, 0);
    frame[1] = 0x7F;  // first twelve bits not all ones
    const DecodeResult r = d.DecodeFrame(frame.data(), static_cast<int32_t>(frame.size()), pcm.data());
    EXPECT_EQ(r.consumed, 0);
    EXPECT_EQ(r.produced, 0);
}

TEST(Decoder, FormatsOfTheSetUp) {
    TMpegDecoder d;
    FrameHeader h;
    int32_t base;
    // Layer I stereo, 44.1 kHz
    const uint8_t l1[4] = {0xFF, 0xFF, 0x90, 0x00};
    base = ParseFrameHeader(l1, 0, h);
    ASSERT_EQ(d.Open(h, base, 0, 0, 0, 24000), 1);
    EXPECT_EQ(d.GetDecodedFormat().samplesPerFrame, 768);
    EXPECT_EQ(d.GetDecodedFormat().channels, 2);
    // MPEG-1 Layer III 44.1 kHz joint stereo
    const uint8_t l3[4] = {0xFF, 0xFB, 0x90, 0x64};
    base = ParseFrameHeader(l3, 0, h);
    ASSERT_EQ(d.Open(h, base, 0, 0, 0, 24000), 1);
    DecodedFormat f = d.GetDecodedFormat();
    EXPECT_EQ(f.channels, 2);
    EXPECT_EQ(f.samplesPerFrame, 2304);
    EXPECT_EQ(f.sampleRate, 44100);
    EXPECT_EQ(f.bitsPerSample, 16);
    EXPECT_EQ(f.frameLength, 417);
    // MPEG-2 Layer III 22.05 kHz single channel; MPEG-2.5 at 8 kHz
    const uint8_t m2[4] = {0xFF, 0xF3, 0x40, 0xC0};
    base = ParseFrameHeader(m2, 0, h);
    ASSERT_EQ(d.Open(h, base, 0, 0, 0, 24000), 1);
    f = d.GetDecodedFormat();
    EXPECT_EQ(f.channels, 1);
    EXPECT_EQ(f.samplesPerFrame, 576);
    const uint8_t m25[4] = {0xFF, 0xE3, 0x48, 0xC0};
    base = ParseFrameHeader(m25, 0, h);
    ASSERT_EQ(d.Open(h, base, 0, 0, 0, 24000), 1);
    EXPECT_EQ(d.GetDecodedFormat().sampleRate, 8000);
}

TEST(Layer2, NotAllowedCombinationsAreRefused) {
    TMpegDecoder d;
    FrameHeader h;
    const uint8_t stereo80[4] = {0xFF, 0xFD, 0x50, 0x00};  // 44.1 kHz stereo, 80 kbit/s
    EXPECT_EQ(d.Open(h, ParseFrameHeader(stereo80, 0, h), 0, 0, 0, 24000), 0);
    const uint8_t mono224[4] = {0xFF, 0xFD, 0xB0, 0xC0};  // single channel, 224 kbit/s
    EXPECT_EQ(d.Open(h, ParseFrameHeader(mono224, 0, h), 0, 0, 0, 24000), 0);
    const uint8_t mono192[4] = {0xFF, 0xFD, 0xA0, 0xC0};
    EXPECT_EQ(d.Open(h, ParseFrameHeader(mono192, 0, h), 0, 0, 0, 24000), 1);
    // the table choice: 48 kHz stereo 128 kbit/s uses B.2a, 32 kHz
    // stereo 64 kbit/s B.2d
    EXPECT_EQ(tables::kLayer2TableChoice[0][1][8], 0);
    EXPECT_EQ(tables::kLayer2TableChoice[0][2][4], 3);
    EXPECT_EQ(tables::kLayer2AllocTables[0].groupCount[0] + tables::kLayer2AllocTables[0].groupCount[1] +
                  tables::kLayer2AllocTables[0].groupCount[2] + tables::kLayer2AllocTables[0].groupCount[3],
              27);
}

// A grouped 5-level code of 0 gives the three samples -2 x 2/5 x scale: a two-frame stream of
// a constant in subband 0 settles to a constant output that sign and size check.
TEST(Layer2, GroupedCodesDequantise) {
    BitWriter w;
    w.Put(0xFFFD, 16);  // MPEG-1 Layer II, no CRC
    w.Put(0xA4, 8);     // 192 kbit/s, 48 kHz
    w.Put(0xC0, 8);     // single channel: table B.2a, 27 subbands
    w.Put(2, 4);        // subband 0: code 2 of the first group = 5 levels
    for (int sb = 1; sb < 27; ++sb) w.Put(0, sb < 11 ? 4 : sb < 23 ? 3 : 2);
    w.Put(2, 2);  // one scale factor for all three thirds
    w.Put(0, 6);  // index 0: 2.0
    for (int g = 0; g < 12; ++g) w.Put(0, 7);  // grouped code 0: -2, -2, -2
    const auto frame = w.Bytes(576);
    int32_t base;
    const FrameHeader h = HeaderOf(frame, &base);
    ASSERT_EQ(base, 576);
    TMpegDecoder d;
    ASSERT_EQ(d.Open(h, base, 0, 0, 0, 24000), 1);
    std::vector<uint8_t> pcm(kMaxPcmBytesPerFrame);
    d.DecodeFrame(frame.data(), 576, pcm.data());
    d.DecodeFrame(frame.data(), 576, pcm.data());
    // a constant subband-0 signal of -2 x 2/5 x 2.0 (= -1.6 of full scale, clipped) comes out
    // as a large negative DC level
    const auto last = static_cast<int16_t>(pcm[2302] | (pcm[2303] << 8));
    EXPECT_LT(last, -20000);
}

}  // namespace
}  // namespace zentu
