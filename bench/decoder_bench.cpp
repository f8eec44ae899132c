// Timings of one Layer III frame, one synthesis slot and one hybrid channel.
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

// Frames of a conformance stream (44.1 kHz joint stereo), decoded round and round.
void BM_Layer3Frame(benchmark::State& state) {
    const std::vector<uint8_t> bits = ReadFile(std::string(ZENTU_CONFORMANCE_DIR) + "/l3-sin1k0db.bit");
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
        const int32_t length = base + h.paddingBit;
        if (pos + static_cast<size_t>(length) > bits.size()) break;
        frames.push_back({pos, length});
        pos += static_cast<size_t>(length);
    }
    if (frames.empty()) {
        state.SkipWithError("conformance stream l3-sin1k0db.bit not found");
        return;
    }
    TMpegDecoder decoder;
    // argument 0: the plain routines; 1: the routines this processor is dispatched to
    if (state.range(0) == 1) DispatchRoutines(DetectCpuCapabilities(), decoder.Routines());
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
BENCHMARK(BM_Layer3Frame)->Arg(0)->Arg(1);

void BM_SynthesisSlot(benchmark::State& state) {
    TSynthesis synth;
    SynthesisInit(synth);
    TEqualizerTables eq;
    TRoutineSlots slots;
    if (state.range(0) == 1)
        DispatchRoutines(DetectCpuCapabilities(), slots);
    else
        FillSlotsPlain(slots);
    float row[32];
    for (int k = 0; k < 32; ++k) row[k] = static_cast<float>(std::sin(k * 0.7) * 3000.0);
    int16_t out[64];
    int32_t off = 0;
    for (auto _ : state) {
        SynthesizeSlot(row, 1, eq, synth.ring[0] + off);
        slots.writeStereoChannel(synth.ring[0], off, synth.window, out);
        off = (off - 32) & 511;
        benchmark::DoNotOptimize(out);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SynthesisSlot)->Arg(0)->Arg(1);

// One granule of one channel with all 576 lines in use, long or short blocks.
void BM_HybridChannel(benchmark::State& state) {
    const int32_t blockType = static_cast<int32_t>(state.range(0));
    std::vector<float> lines(576), overlap(576), out(576), source(576);
    for (int i = 0; i < 576; ++i) source[static_cast<size_t>(i)] = static_cast<float>(std::cos(i * 0.37) * 500.0);
    for (auto _ : state) {
        lines = source;  // the transform overwrites its input with the overlap
        benchmark::DoNotOptimize(
            HybridChannelPlain(lines.data(), overlap.data(), out.data(), blockType, blockType == 2 ? 0 : 576, 576, 576, 32));
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_HybridChannel)->Arg(0)->Arg(2);

}  // namespace
