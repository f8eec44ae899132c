// Sample values of the generated tables against the standard's printed numbers.
#include <gtest/gtest.h>

#include "decoder/tables/huffman_tables.h"
#include "decoder/tables/iso_tables.h"

namespace zentu {
namespace {

TEST(Tables, SampleValues) {
    using namespace tables;
    EXPECT_EQ(kBitrateKbps[2][1][9], 128);   // MPEG-1 Layer III
    EXPECT_EQ(kBitrateKbps[0][1][14], 448);  // MPEG-1 Layer I
    EXPECT_EQ(kBitrateKbps[1][0][1], 8);     // MPEG-2 Layer II
    EXPECT_EQ(kSynthesisWindowK[256], 75038);
    EXPECT_EQ(kSynthesisWindowK[1], -1);
    for (int i = 1; i < 512; ++i) {
        if (i % 64) { EXPECT_EQ(kSynthesisWindowK[static_cast<size_t>(512 - i)], -kSynthesisWindowK[static_cast<size_t>(i)]); }
    }
    EXPECT_EQ(kScalefactorBands[1][0].longStart[21], 418);     // 44.1 kHz
    EXPECT_EQ(kScalefactorBands[0][1].longStart[18], 332);     // 24 kHz
    EXPECT_EQ(kScalefactorBands[2][2].longStart[17], 566);     // 8 kHz (MPEG-2.5)
    EXPECT_EQ(kScalefactorBands[2][0].shortStart[12], 174);    // 11.025 kHz
    EXPECT_EQ(kPretab[17], 3);
    EXPECT_EQ(kSlen1[15], 4);
    EXPECT_EQ(kSlen2[15], 3);
    EXPECT_EQ(kLsfBandCounts[2][2][1], 3);
    EXPECT_EQ(kLayer2AllocTables[4].groupCount[3], 19);
    EXPECT_EQ(kHuffTables[24].linbits, 4);
    EXPECT_EQ(kHuffTables[23].linbits, 13);
    EXPECT_EQ(kHuffTables[4].table, nullptr);
    EXPECT_EQ(kHuffTables[1].width, 5);  // first-level widths: every code with its signs, at most 10
    EXPECT_EQ(kHuffTables[24].width, 10);
}

}  // namespace
}  // namespace zentu
