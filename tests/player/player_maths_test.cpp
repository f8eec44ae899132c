// The player's arithmetic: lengths, positions, capability words, VBR headers, band maths.
#include <gtest/gtest.h>

#include "decoder/dispatch.h"
#include "platform/exceptions.h"
#include "player/mp3_player.h"
#include "player/player_fixtures.h"

namespace zentu {
namespace {

using namespace zentu::testing;

TEST(PlayerMaths, DurationFromVbrTotalOrBitRate) {
    // Constant bit rate: 4 000 000 bytes at 128 kbit/s.
    EXPECT_EQ(mp3::Duration(0, 44100, 2, 128000, 4000000), 250000);
    // A VBR header counting 1000 frames of MPEG-1 Layer III stereo: 1000 x 4608 bytes of PCM.
    EXPECT_EQ(mp3::Duration(int64_t{1000} * 4608, 44100, 2, 0, 4000000 - 417), 26122);
    // Unknown data length and no VBR total: no length.
    EXPECT_EQ(mp3::Duration(0, 44100, 2, 128000, kUnknownLength), 0);
    EXPECT_EQ(mp3::Duration(0, 44100, 2, 0, 4000000), 0);
    EXPECT_EQ(mp3::Duration(0, 0, 0, 0, 0), 0);
    // Long files do not overflow: 2 GB at 32 kbit/s.
    EXPECT_EQ(mp3::Duration(0, 44100, 2, 32000, 2000000000), int64_t{2000000000} * 8000 / 32000);
}

TEST(PlayerMaths, PositionFromPlayedBytes) {
    EXPECT_EQ(mp3::PositionMs(176400, 44100, 2, 16), 1000);
    EXPECT_EQ(mp3::PositionMs(176399, 44100, 2, 16), 999);  // truncated
    EXPECT_EQ(mp3::PositionMs(22050, 22050, 1, 8), 1000);
    EXPECT_EQ(mp3::PositionMs(1000, 0, 2, 16), 0);
}

TEST(PlayerMaths, CapabilitySetAndWord) {
    EXPECT_EQ(CpuCapabilitiesToWord(kAllCpuCapabilities), kCapSelectable);
    EXPECT_EQ(CpuCapabilitiesToWord(CpuCap(mccE3DNow)), kCapE3DNow);
    EXPECT_EQ(CpuCapabilitiesToWord(CpuCap(mccCMOV)), kCapCMOV);
    EXPECT_EQ(WordToCpuCapabilities(kCapMMX | kCapSSE | kCapFpu | kCapIntel), CpuCap(mccMMX) | CpuCap(mccKNI));
    EXPECT_EQ(CpuCapabilitiesToWord(CpuCap(mccAVX2) | CpuCap(mccAVX512)), kCapAVX2 | kCapAVX512);
    // Never a variant the processor lacks, whatever the set says.
    const uint32_t intel6 = kCapFpu | kCapMMX | kCapCMOV | kCapSSE | kCapIntel | kCapFamily6;
    EXPECT_EQ(EffectiveCapabilityWord(intel6, kAllCpuCapabilities), intel6);
    EXPECT_EQ(EffectiveCapabilityWord(intel6, 0), kCapFpu | kCapIntel | kCapFamily6);
    EXPECT_EQ(EffectiveCapabilityWord(intel6, CpuCap(mcc3DNow) | CpuCap(mccE3DNow) | CpuCap(mccCMOV)),
              kCapFpu | kCapIntel | kCapFamily6 | kCapCMOV);
}

TEST(PlayerMaths, DecodePriorityTable) {
    EXPECT_EQ(Win32Priority(TThreadPriority::tpIdle), -15);
    EXPECT_EQ(Win32Priority(TThreadPriority::tpLowest), -2);
    EXPECT_EQ(Win32Priority(TThreadPriority::tpNormal), 0);
    EXPECT_EQ(Win32Priority(TThreadPriority::tpHighest), 2);
    EXPECT_EQ(Win32Priority(TThreadPriority::tpTimeCritical), 15);
}

TEST(PlayerMaths, RoundingIsHalfToEven) {
    EXPECT_EQ(mp3::RoundEven(0.5L), 0);
    EXPECT_EQ(mp3::RoundEven(1.5L), 2);
    EXPECT_EQ(mp3::RoundEven(2.5L), 2);
    EXPECT_EQ(mp3::RoundEven(183.3L), 183);
}

TEST(PlayerMaths, CentreFrequencies) {
    EXPECT_EQ(mp3::SubbandCentre(44100, 0), 345);
    EXPECT_EQ(mp3::SubbandCentre(44100, 1), 1034);
    EXPECT_EQ(mp3::SubbandCentre(44100, 2), 1723);
    EXPECT_EQ(mp3::SubbandCentre(44100, 31), 21705);
    EXPECT_EQ(mp3::LineCentre(44100, 0), 19);
    EXPECT_EQ(mp3::LineCentre(44100, 1), 57);
    EXPECT_EQ(mp3::LineCentre(44100, 2), 96);
    EXPECT_EQ(mp3::LineCentre(44100, 3), 134);
    // Programming errors: an index outside its table, a rate of 0.
    EXPECT_THROW(mp3::SubbandCentre(44100, 32), EAssertionFailed);
    EXPECT_THROW(mp3::LineCentre(0, 0), EAssertionFailed);
}

TEST(PlayerMaths, NearestBandByRatio) {
    const int32_t bands[6] = {60, 183, 560, 1712, 5234, 16000};
    EXPECT_EQ(mp3::NearestBand(19, bands, 6), 0);
    EXPECT_EQ(mp3::NearestBand(134, bands, 6), 1);  // 1.366 against 2.233
    EXPECT_EQ(mp3::NearestBand(21705, bands, 6), 5);
    // Exactly between in ratio: the lower band.
    const int32_t pair[2] = {100, 400};
    EXPECT_EQ(mp3::NearestBand(200, pair, 2), 0);
    // A frequency of 0 counts as 1 Hz.
    const int32_t zero[2] = {0, 1000};
    EXPECT_EQ(mp3::NearestBand(1, zero, 2), 0);
    EXPECT_EQ(mp3::NearestBand(40, zero, 2), 1);  // 40 against 25
    // Only the bands in use are searched.
    EXPECT_EQ(mp3::NearestBand(16000, bands, 3), 2);
}

TEST(PlayerMaths, BandFactors) {
    EXPECT_EQ(mp3::BandFactor(0), 1.0f);
    EXPECT_FLOAT_EQ(mp3::BandFactor(100), 10.0f);
    EXPECT_FLOAT_EQ(mp3::BandFactor(-100), 0.1f);
    EXPECT_FLOAT_EQ(mp3::BandFactor(50), 3.1622777f);
}

// The LAME extension after the Xing fields present: its gain fields, its peak, the delay and
// padding only from encoders known to mean them; when the CRC fails, all of it only with a
// delay and padding an encoder writes, else nothing at all.
TEST(PlayerMaths, LameTag) {
    const struct {
        uint32_t flags;
        const char* encoder;
        bool badCrc;
        int32_t delay;
        uint32_t written = 576;
    } kCases[] = {{0x0F, "LAME3.99r", false, 576}, {0x0D, "Lavc60.31", false, 576}, {0x0F, "GOGO", false, -1},
                  {0x0F, "LAME3.100", true, 576},  {0x0D, "Lavc59.37", true, 576},  {0x0F, "LAME3.100", true, -1, 3000}};
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.encoder);
        Bytes f = XingFrame(c.flags, 100, 41700, "Info");
        const size_t at = 36 + 8 + ((c.flags & 2) ? 112 : 108);
        std::memcpy(&f[at], c.encoder, std::strlen(c.encoder));
        PutBe32(f, at + 11, 1 << 22);                                   // peak 0.5
        PutBe32(f, at + 15, (0x2E41u << 16) | (2 << 13 | 3 << 10 | 12));  // radio -6.5 dB, audiophile +1.2 dB
        PutBe32(f, at + 21, (c.written << 12 | 1404) << 8);
        uint32_t crc = 0;
        for (size_t i = 0; i < at + 34; ++i) {
            crc ^= f[i];
            for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? (crc >> 1) ^ 0xA001 : crc >> 1;
        }
        f[at + 34] = static_cast<uint8_t>(crc >> 8), f[at + 35] = static_cast<uint8_t>(crc ^ (c.badCrc ? 1 : 0));
        FrameHeader h;
        ASSERT_GT(ParseFrameHeader(f.data(), 0, h), 0);
        const mp3::TLameTag lame = mp3::ParseVbrHeader(f.data(), static_cast<int32_t>(f.size()), h).lame;
        EXPECT_EQ(lame.valid, !c.badCrc || c.delay >= 0);
        EXPECT_EQ(lame.crcMatches, !c.badCrc);
        EXPECT_EQ(lame.delay, c.delay);
        EXPECT_EQ(lame.padding, c.delay < 0 ? -1 : 1404);
        if (!lame.valid) continue;
        EXPECT_EQ(lame.encoder, c.encoder);
        EXPECT_FLOAT_EQ(lame.trackGain, -6.5f);
        EXPECT_FLOAT_EQ(lame.albumGain, 1.2f);
        EXPECT_FLOAT_EQ(lame.peak, 0.5f);
    }
}

TEST(PlayerMaths, VbrHeaders) {
    FrameHeader h;
    Bytes xing = XingFrame(3, 1001, 4000000);
    ASSERT_GT(ParseFrameHeader(xing.data(), 0, h), 0);
    mp3::TVbrInfo v = mp3::ParseVbrHeader(xing.data(), static_cast<int32_t>(xing.size()), h);
    EXPECT_TRUE(v.found);
    EXPECT_EQ(v.frames, 1001);
    EXPECT_EQ(v.bytes, 4000000);

    // Only the byte count present: it follows the flags directly.
    xing = XingFrame(2, 0, 123456);
    v = mp3::ParseVbrHeader(xing.data(), static_cast<int32_t>(xing.size()), h);
    EXPECT_TRUE(v.found);
    EXPECT_EQ(v.frames, -1);
    EXPECT_EQ(v.bytes, 123456);

    const Bytes vbri = VbriFrame(500, 300000);
    v = mp3::ParseVbrHeader(vbri.data(), static_cast<int32_t>(vbri.size()), h);
    EXPECT_TRUE(v.found);
    EXPECT_EQ(v.frames, 500);
    EXPECT_EQ(v.bytes, 300000);

    // Case-sensitive, and at the offset of this header's side information.
    Bytes other = XingFrame(3, 10, 10);
    std::memcpy(&other[36], "xing", 4);
    EXPECT_FALSE(mp3::ParseVbrHeader(other.data(), static_cast<int32_t>(other.size()), h).found);
    Bytes mono = XingFrame(3, 10, 10);
    mono[3] = 0xC0;  // single channel: the tag would be at 21
    ASSERT_GT(ParseFrameHeader(mono.data(), 0, h), 0);
    EXPECT_FALSE(mp3::ParseVbrHeader(mono.data(), static_cast<int32_t>(mono.size()), h).found);

    // Fields past the readable bytes are not read.
    xing = XingFrame(3, 1001, 4000000);
    ASSERT_GT(ParseFrameHeader(xing.data(), 0, h), 0);
    v = mp3::ParseVbrHeader(xing.data(), 48, h);
    EXPECT_TRUE(v.found);
    EXPECT_EQ(v.frames, 1001);
    EXPECT_EQ(v.bytes, -1);
    EXPECT_FALSE(mp3::ParseVbrHeader(xing.data(), 38, h).found);
}

}  // namespace
}  // namespace zentu
