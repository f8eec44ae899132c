#include <gtest/gtest.h>

#include <numeric>
#include <vector>

#include "platform/exceptions.h"
#include "player/mp_stream.h"
#include "player/mp_stream_reader.h"

namespace zentu {
namespace {

// A stream that counts its reads and seeks.
class CountingStream final : public TMPStream {
public:
    explicit CountingStream(size_t size) : inner_(Bytes(size)) {}
    static std::vector<uint8_t> Bytes(size_t size) {
        std::vector<uint8_t> b(size);
        for (size_t i = 0; i < size; ++i) b[i] = static_cast<uint8_t>(i * 7 + i / 251);
        return b;
    }
    int32_t Read(void* buffer, int32_t count) override {
        ++reads;
        lastRead = count;
        return inner_.Read(buffer, count);
    }
    int64_t Seek(int64_t offset, TSeekOrigin origin) override {
        ++seeks;
        return inner_.Seek(offset, origin);
    }
    int64_t Size() override { return inner_.Size(); }
    int reads = 0, seeks = 0;
    int32_t lastRead = 0;

private:
    TMPMemoryStream inner_;
};

TEST(StreamReader, SmallStream) {
    CountingStream s(10);
    TMPStreamReader r(65536);
    r.Open(&s, true);
    EXPECT_EQ(r.Size(), 10);
    EXPECT_TRUE(r.Require(4));
    EXPECT_EQ(r.Available(), 10);
    EXPECT_FALSE(r.Require(11));
    EXPECT_EQ(r.Current()[3], CountingStream::Bytes(10)[3]);
}

TEST(StreamReader, LargeRequestReadsTheShortfallAtOnce) {
    CountingStream s(100000);
    TMPStreamReader r(65536);
    r.Open(&s, true);
    EXPECT_TRUE(r.FillTo(20000));
    EXPECT_EQ(s.reads, 1);
    EXPECT_EQ(s.lastRead, 20000);
    TMPStreamReader small(65536);
    CountingStream t(100000);
    small.Open(&t, true);
    EXPECT_TRUE(small.Require(4));
    EXPECT_EQ(t.lastRead, 16384);  // a small request reads a whole chunk
}

TEST(StreamReader, WrapAndRotateKeepStreamOrder) {
    const auto bytes = CountingStream::Bytes(200000);
    CountingStream s(200000);
    TMPStreamReader r(65536);
    r.Open(&s, true);
    ASSERT_TRUE(r.FillTo(65536));
    // leave 536 bytes buffered, 536 bytes before the ring's end
    ASSERT_TRUE(r.Skip(65000));
    EXPECT_EQ(r.ReadIndex(), 65000);
    EXPECT_EQ(r.Buffered(), 536);
    ASSERT_TRUE(r.Require(4000));  // reads on at offset 0, then rotates
    EXPECT_EQ(r.ReadIndex(), 0);
    EXPECT_GE(r.Available(), 4000);
    for (int i = 0; i < 4000; ++i) ASSERT_EQ(r.Current()[i], bytes[static_cast<size_t>(65000 + i)]) << i;
    EXPECT_EQ(r.Position(), 65000);
}

TEST(StreamReader, RotationWithTheLongTailNeedsATemporaryCopy) {
    const auto bytes = CountingStream::Bytes(300000);
    CountingStream s(300000);
    TMPStreamReader r(65536);
    r.Open(&s, true);
    ASSERT_TRUE(r.FillTo(65536));
    ASSERT_TRUE(r.Skip(30000));
    ASSERT_TRUE(r.FillTo(65536));  // wraps: 35536 at the end, 30000 at the start
    r.Linearize();
    for (int i = 0; i < 65536; i += 97) ASSERT_EQ(r.Current()[i], bytes[static_cast<size_t>(30000 + i)]) << i;
}

TEST(StreamReader, SkipAndSeek) {
    const auto bytes = CountingStream::Bytes(100000);
    CountingStream s(100000);
    TMPStreamReader r(65536);
    r.Open(&s, true);
    r.Require(100);
    const int seeks = s.seeks;
    EXPECT_TRUE(r.Skip(50));
    EXPECT_EQ(s.seeks, seeks);  // inside the buffer: the stream is not touched
    EXPECT_TRUE(r.Skip(50000));
    EXPECT_EQ(r.Position(), 50050);
    r.Require(1);
    EXPECT_EQ(r.Current()[0], bytes[50050]);
    EXPECT_FALSE(r.Skip(60000));  // beyond the end
    EXPECT_EQ(r.Position(), 100000);
    EXPECT_FALSE(r.Require(1));
    EXPECT_EQ(r.Seek(10, TSeekOrigin::soBeginning), 10);
    r.Require(20);
    EXPECT_EQ(r.Seek(5, TSeekOrigin::soCurrent), 15);  // relative to the logical position
    r.Require(1);
    EXPECT_EQ(r.Current()[0], bytes[15]);
}

TEST(StreamReader, ReadAheadAndLifecycle) {
    CountingStream s(200000);
    TMPStreamReader r(65536);
    r.Open(&s, true);
    int calls = 0;
    while (r.ReadAhead()) ++calls;
    EXPECT_EQ(r.Buffered(), 65536);
    EXPECT_EQ(calls, 4);
    const int reads = s.reads;
    EXPECT_FALSE(r.ReadAhead());  // full: nothing read
    EXPECT_EQ(s.reads, reads);
    r.Open(&s, true);  // open while open closes first
    EXPECT_EQ(r.Buffered(), 0);
    r.Close();
    r.Close();
    EXPECT_FALSE(r.IsOpen());
    EXPECT_THROW(r.FillTo(1), EAssertionFailed);
}

TEST(StreamReader, NotSeekableSkipsByReading) {
    const auto bytes = CountingStream::Bytes(150000);
    CountingStream s(150000);
    TMPStreamReader r(65536);
    r.Open(&s, false);
    r.Require(10);
    EXPECT_TRUE(r.Skip(100000));
    EXPECT_EQ(r.Position(), 100000);
    r.Require(1);
    EXPECT_EQ(r.Current()[0], bytes[100000]);
    EXPECT_EQ(s.seeks, 0);
    EXPECT_FALSE(r.Skip(60000));
}

TEST(FileStream, MissingFileRaisesTheSystemText) {
    try {
        TMPFileStream f("/nonexistent/zentu.mp3");
        FAIL();
    } catch (const EStreamError& e) {
        EXPECT_NE(std::string(e.what()).find("No such file"), std::string::npos);
    }
}

}  // namespace
}  // namespace zentu
