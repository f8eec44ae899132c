// Arbitrary bytes opened by the player (tags, first frame, VBR header, decoder set-up) and
// a few decode steps run on this thread, with the equalizer update in between. The players
// are set up once. The size picks the reading: even sizes open a stream that can be rewound;
// one size in eight goes to the player with the frequency equalizer, whose update (576 gains
// for Layer III) would otherwise cost more than the decoding, the rest to the sub-band one.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "platform/exceptions.h"
#include "platform/plain_main_loop.h"
#include "player/mp3_player.h"
#include "player/mp_stream.h"

namespace {

zentu::TMP3Player* MakePlayer(zentu::TMP3EqualizerMode mode) {
    setenv("ZENTU_AUDIO", "null", 1);
    auto* p = new zentu::TMP3Player();
    p->SetAutoPlay(false);
    p->SetEqualizerEnabled(true);
    p->SetEqualizerMode(mode);
    p->SetEqualizerRange(60, 16000);
    for (int i = 0; i < 6; ++i) p->SetEqualizerGain(i, i * 20 - 50);
    return p;
}

zentu::TMP3Player& Player(bool frequencyEqualizer) {
    static zentu::TMP3Player* subBand = MakePlayer(zentu::TMP3EqualizerMode::memSubBand);
    static zentu::TMP3Player* frequency = MakePlayer(zentu::TMP3EqualizerMode::memFreq);
    return frequencyEqualizer ? *frequency : *subBand;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    zentu::TMP3Player& player = Player(size % 8 == 3);
    const uint8_t flags = (size % 2 == 0 ? zentu::kStreamSeekable : 0) | zentu::kStreamOwned;
    try {
        player.OpenStream(new zentu::TMPMemoryStream(data, size), flags);
    } catch (const zentu::Exception&) {
        return 0;
    }
    zentu::DefaultMainLoop().ProcessMessages();  // the equalizer update for this stream
    uint64_t sum = 0;
    player.RunDecodeStepsForTest(48, [&](const uint8_t* pcm, int32_t n) {
        for (int32_t i = 0; i < n; i += 64) sum += pcm[i];
    });
    (void)player.Duration();
    (void)player.Title();
    player.Close();
    zentu::DefaultMainLoop().ProcessMessages();
    return static_cast<int>(sum & 0);
}
