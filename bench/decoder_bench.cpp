// Per-frame timings of the decoder and its inner stages, for each routine family this
// processor runs (the argument is the family's place in kRoutineFamilies: 0 plain, 1 avx2, 2
// avx512): a Layer III frame, a Layer II frame, the synthesis of one Layer II frame and of one
// Layer III granule, and the hybrid filter bank of one granule and channel.
#include <benchmark/benchmark.h>

#include <cmath>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "decoder/decoder_state.h"
#include "decoder/layer3.h"
#include "decoder/synth.h"

namespace {

using namespace zentu;

std::vector<uint8_t> ReadFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

// The slots of the family the benchmark's argument names; false (and the benchmark skipped)
// where the processor cannot run it.
bool FamilySlots(benchmark::State& state, TRoutineSlots& slots) {
    const auto f = static_cast<int>(state.range(0));
    if (f >= kRoutineFamilyCount || !DispatchRoutineFamily(kRoutineFamilies[f].name, slots)) {
        state.SkipWithError("this processor cannot run the family");
        return false;
    }
    state.SetLabel(kRoutineFamilies[f].name);
    return true;
}

void Families(benchmark::internal::Benchmark* b) {
    for (int f = 0; f < kRoutineFamilyCount; ++f) b->Arg(f);
}

// The frames of a conformance stream, decoded round and round.
void DecodeFrames(benchmark::State& state, const char* stream) {
    const std::vector<uint8_t> bits = ReadFile(std::string(ZENTU_CONFORMANCE_DIR) + "/" + stream);
    std::vector<std::pair<size_t, int32_t>> frames;
    size_t pos = 0;
    FrameHeader first{};
    int32_t firstBase = 0;
    while (pos + 4 <= bits.size()) {
        FrameHeader h;
        const int32_t base = ParseFrameHeader(bits.data() + pos, 0, h);
        if (base <= 0) {
            ++pos;
            continue;
        }
        if (frames.empty()) {
            first = h;
            firstBase = base;
        }
        const int32_t length = base + (h.paddingBit ? PaddingSlot(h.layerCode) : 0);
        if (pos + static_cast<size_t>(length) > bits.size()) break;
        frames.push_back({pos, length});
        pos += static_cast<size_t>(length);
    }
    if (frames.empty()) {
        state.SkipWithError("conformance stream not found");
        return;
    }
    TMpegDecoder decoder;
    if (!FamilySlots(state, decoder.Routines())) return;
    decoder.Open(first, firstBase, 0, 0, 0, 24000);
    std::vector<uint8_t> pcm(kMaxPcmBytesPerFrame);
    size_t i = 0;
    for (auto _ : state) {
        const auto& f = frames[i];
        benchmark::DoNotOptimize(decoder.DecodeFrame(bits.data() + f.first, f.second, pcm.data()));
        if (++i == frames.size()) i = 0;
    }
    state.SetItemsProcessed(state.iterations());
}

// Layer III, 44.1 kHz joint stereo.
void BM_Layer3Frame(benchmark::State& state) { DecodeFrames(state, "l3-sin1k0db.bit"); }
BENCHMARK(BM_Layer3Frame)->Apply(Families);

// Layer II, 44.1 kHz stereo, 256 kbit/s.
void BM_Layer2Frame(benchmark::State& state) { DecodeFrames(state, "l2-fl16.bit"); }
BENCHMARK(BM_Layer2Frame)->Apply(Families);

std::vector<float> MusicLikeRows(size_t n) {
    std::vector<float> rows(n);
    for (size_t i = 0; i < n; ++i)
        rows[i] = static_cast<float>(std::sin(static_cast<double>(i) * 0.7) * 3000.0 / (1.0 + static_cast<double>(i % 32)));
    return rows;
}

// The 36 two-channel rows of a Layer II frame.
void BM_SynthesisLayer2Frame(benchmark::State& state) {
    TRoutineSlots slots;
    if (!FamilySlots(state, slots)) return;
    TSynthesis synth;
    SynthesisInit(synth);
    TEqualizerTables eq;
    const std::vector<float> rows = MusicLikeRows(64 * 36);
    std::vector<int16_t> pcm(2304);
    for (auto _ : state) {
        SynthesizeRows(synth, slots, eq, rows.data(), 36, 2, pcm.data());
        benchmark::DoNotOptimize(pcm.data());
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SynthesisLayer2Frame)->Apply(Families);

// Both channels of a Layer III granule (18 steps each).
void BM_SynthesisLayer3Granule(benchmark::State& state) {
    TRoutineSlots slots;
    if (!FamilySlots(state, slots)) return;
    TSynthesis synth;
    SynthesisInit(synth);
    TEqualizerTables eq;
    const std::vector<float> block = MusicLikeRows(576);
    std::vector<int16_t> pcm(1152);
    for (auto _ : state) {
        SynthesizeGranule(synth, slots, eq, block.data(), 0, 2, pcm.data());
        SynthesizeGranule(synth, slots, eq, block.data(), 1, 2, pcm.data());
        benchmark::DoNotOptimize(pcm.data());
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SynthesisLayer3Granule)->Apply(Families);

// One granule of one channel with all 576 lines in use; the second argument is the block type.
void BM_HybridChannel(benchmark::State& state) {
    TRoutineSlots slots;
    if (!FamilySlots(state, slots)) return;
    const auto blockType = static_cast<int32_t>(state.range(1));
    std::vector<float> lines(576), overlap(576), out(576), source(576);
    for (int i = 0; i < 576; ++i) source[static_cast<size_t>(i)] = static_cast<float>(std::cos(i * 0.37) * 500.0);
    for (auto _ : state) {
        lines = source;  // the transform overwrites its input with the overlap
        benchmark::DoNotOptimize(slots.hybridChannel(lines.data(), overlap.data(), out.data(), blockType,
                                                     blockType == 2 ? 0 : 576, 576, 576, 32));
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_HybridChannel)->ArgsProduct({{0, 1, 2}, {0, 2}});

}  // namespace
