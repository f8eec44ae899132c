// TMP3Player: the non-visual player component. It opens one MPEG audio file at a time,
// reads its tags and stream information, and plays it: its decoder thread decodes frame
// after frame into PCM for the wave output, whose own thread completes buffers and reports
// the position. Everything it reports reaches its user as events on the main thread,
// through messages posted to a hidden window it owns.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "decoder/mpeg_decoder.h"
#include "platform/main_thread.h"
#include "platform/messages.h"
#include "player/component.h"
#include "player/frame_index.h"
#include "player/frame_walk.h"
#include "player/mp3_info.h"
#include "player/mp_stream.h"
#include "player/mp_stream_reader.h"
#include "player/mp_threads.h"
#include "player/playback_maths.h"
#include "player/sound_out.h"
#include "player/track_info.h"

namespace zentu {

enum class TMP3EndPlayReason : uint8_t { mepEndOfData = 0, mepStopped = 1, mepError = 2 };
// mpsPaused: the output holds its place; Resume carries on with the very next sample.
enum class TMP3Status : uint8_t { mpsStopped = 0, mpsPlaying = 1, mpsPaused = 2 };
enum class TMP3EqualizerMode : uint8_t { memSubBand = 0, memFreq = 1 };

// The members of TMP3CpuCapabilities; a set is a byte with bit `member` per member. mccAVX2
// and mccAVX512 allow our vector routine families.
enum TMP3CpuCapability : uint8_t {
    mccMMX = 0, mcc3DNow = 1, mccKNI = 2, mccE3DNow = 3, mccCMOV = 4, mccAVX2 = 5, mccAVX512 = 6
};
using TMP3CpuCapabilities = uint8_t;
inline constexpr TMP3CpuCapabilities kAllCpuCapabilities = 0x7F;
constexpr TMP3CpuCapabilities CpuCap(TMP3CpuCapability member) { return static_cast<uint8_t>(1u << member); }
// The set as capability-word bits (kCapSelectable), and back.
uint32_t CpuCapabilitiesToWord(TMP3CpuCapabilities set);
TMP3CpuCapabilities WordToCpuCapabilities(uint32_t word);
// The word the player dispatches with: the detected word with its selectable bits replaced
// by those of `set` that the processor has.
uint32_t EffectiveCapabilityWord(uint32_t detected, TMP3CpuCapabilities set);

// The hidden window's messages.
inline constexpr uint32_t MPM_POSITION = WM_USER + 10;
inline constexpr uint32_t MPM_ERROR = WM_USER + 11;
inline constexpr uint32_t MPM_ENDOFDATA = WM_USER + 12;
inline constexpr uint32_t MPM_STATUS = WM_USER + 14;
inline constexpr uint32_t MPM_ENDPLAY = WM_USER + 15;
inline constexpr uint32_t MPM_EQUALIZER = WM_USER + 16;
// The data has ended and OnQueryNext may name a file to carry on with (wParam: playback).
inline constexpr uint32_t MPM_NEXTFILE = WM_USER + 17;
// The output has played the last sample of a file that the next one follows without a gap.
inline constexpr uint32_t MPM_NEXTHEARD = WM_USER + 18;

// OpenStream flags.
inline constexpr uint8_t kStreamSeekable = 1;
inline constexpr uint8_t kStreamOwned = 2;

inline constexpr int32_t kEqualizerBands = 32;
// One decoded frame (at most 4608 bytes) fits the player's PCM block.
inline constexpr int32_t kPcmBlockBytes = 5120;

// Win32 thread priority of each TThreadPriority (the loop thread maps it to the platform).
int32_t Win32Priority(TThreadPriority priority);

// Pure arithmetic of the player, shared with its tests.
namespace mp3 {
// Length in ms: from the VBR total when known, else from data length and bit rate; 0 when
// neither gives one.
int64_t Duration(int64_t vbrTotal, int32_t sampleRate, int32_t channels, int32_t bitRate, int64_t dataLength);
// Played bytes as ms.
int64_t PositionMs(int64_t playedBytes, int32_t sampleRate, int32_t channels, int32_t bitsPerSample);
// Round to nearest, halves to even.
int64_t RoundEven(long double value);
// Centre frequency of subband k (0..31) and of Layer III line k (0..575) at rate r.
int32_t SubbandCentre(int32_t sampleRate, int32_t k);
int32_t LineCentre(int32_t sampleRate, int32_t k);
// The band whose frequency is nearest by ratio to `centre` among frequencies[0..count-1].
int32_t NearestBand(int32_t centre, const int32_t* frequencies, int32_t count);
// 10^(gain / 100) in single precision.
float BandFactor(int32_t gain);

}  // namespace mp3

class TMP3Player : public TComponent {
public:
    using TNotifyEvent = std::function<void(TMP3Player& sender)>;
    using TMP3EndPlayEvent = std::function<void(TMP3Player& sender, TMP3EndPlayReason reason)>;
    using TQueryNextEvent = std::function<void(TMP3Player& sender, std::string& fileName)>;

    explicit TMP3Player(TComponent* owner = nullptr);
    ~TMP3Player() override;

    void Loaded() override;

    // Commands (main thread).
    void Open();
    // Takes the stream; frees it on Close when `flags` has kStreamOwned.
    void OpenStream(TMPStream* stream, uint8_t flags);
    void Close();
    void Play();
    void Stop();
    // Playing → paused, and back; nothing in any other state.
    void Pause();
    void Resume();

    // Values.
    TMP3Status Status() const { return status_; }
    bool IsOpen() const { return stream_ != nullptr; }
    int32_t Duration() const;
    int32_t Position();
    // Jumps to `ms` in the open file (playing, paused or stopped: the status stays). A
    // position at or past the end ends the file as its natural end does.
    void SetPosition(int32_t ms);
    // Whether every frame of the open file has been found: from then on seeks land on the
    // exact frame (before, the Xing table of contents or the file's size place them).
    bool FramesCounted() const { return index_ && index_->Done(); }
    // The open file's description (empty when closed).
    const TTrackInfo& Track() const { return outgoing_ ? outgoing_->track : track_; }
    std::string Title() const;
    std::string Artist() const { return Shown().Artist(); }
    std::string Album() const { return Shown().Album(); }
    std::string Year() const { return Shown().Year(); }
    std::string Comment() const { return Shown().Comment(); }
    static bool IsValidFile(const std::string& fileName);

    // Published properties.
    bool AutoOpen() const { return autoOpen_; }
    void SetAutoOpen(bool on);
    bool AutoPlay() const { return autoPlay_; }
    void SetAutoPlay(bool on);
    int32_t ChangePosStep() const { return changePosStep_; }
    void SetChangePosStep(int32_t ms);
    TThreadPriority DecodePriority() const { return decodePriority_; }
    void SetDecodePriority(TThreadPriority priority);
    bool EqualizerEnabled() const { return equalizerEnabled_; }
    void SetEqualizerEnabled(bool on);
    int32_t EqualizerCount() const { return equalizerCount_; }
    void SetEqualizerCount(int32_t count);
    TMP3EqualizerMode EqualizerMode() const { return equalizerMode_; }
    void SetEqualizerMode(TMP3EqualizerMode mode);
    const std::string& FileName() const { return outgoing_ ? outgoing_->track.fileName : fileName_; }
    void SetFileName(const std::string& name);
    bool NoisySeek() const { return noisySeek_; }
    void SetNoisySeek(bool on) { noisySeek_ = on; }
    bool InvertPolarity();
    void SetInvertPolarity(bool on);
    TMP3CpuCapabilities UsingCpuCapabilities() const { return usingCpuCapabilities_; }
    void SetUsingCpuCapabilities(TMP3CpuCapabilities set);
    int32_t VolBalance() const { return volBalance_; }
    void SetVolBalance(int32_t balance);
    int32_t Volume() const { return volume_; }
    void SetVolume(int32_t volume);

    // Equalizer bands, 0..31 (other indexes read 0 and are not written).
    int32_t EqualizerGain(int32_t index) const;
    void SetEqualizerGain(int32_t index, int32_t gain);
    int32_t EqualizerFrequency(int32_t index) const;
    void SetEqualizerFrequency(int32_t index, int32_t hz);
    // memFreq only, 1 <= low <= high <= 24000: spreads the band frequencies geometrically.
    void SetEqualizerRange(int32_t low, int32_t high);

    // When not empty, Play writes a WAV file of this name instead of using the device.
    // Cleared by Stop.
    const std::string& OutputFileName() const { return outputFileName_; }
    void SetOutputFileName(const std::string& name) { outputFileName_ = name; }

    TNotifyEvent OnChangePosition;
    TNotifyEvent OnChangeStatus;
    TMP3EndPlayEvent OnEndPlay;
    // Asked, on the main thread, while the last two seconds of a file still play: the file
    // the owner will start when OnEndPlay(mepEndOfData) comes (empty: none). The player opens
    // it at once and, when its format is the same, plays it on without a gap: the owner then
    // sees the end and assigns that FileName as usual, and the player carries on.
    TQueryNextEvent OnQueryNext;

    // The gain that ReplayGain information in the file asks for; rgmOff plays it as it is.
    mp3::TReplayGainMode ReplayGain() const { return replayGain_; }
    void SetReplayGain(mp3::TReplayGainMode mode) { replayGain_ = mode; }
    // The gain applied to the open file's samples, in dB (NaN when the file has none).
    float GainDb() const { return gainDb_; }

    // Stream figures of the open file.
    int32_t Channels() const { return channels_; }
    int32_t Layer() const { return layer_; }
    int32_t Version() const { return version_; }
    int32_t SampleRate() const { return sampleRate_; }
    int32_t BitRate() const { return bitRate_; }
    int64_t DataStart() const { return walk_.DataStart(); }
    int64_t DataLength() const { return walk_.DataLength(); }
    int64_t VbrTotal() const { return vbrTotal_; }

    // Test hook: runs up to `steps` decode steps on the calling thread while the player is
    // stopped, without an output (the PCM goes to `sink`); returns the steps that decoded
    // or skipped something. The decoder thread stays idle meanwhile.
    int32_t RunDecodeStepsForTest(int32_t steps, const std::function<void(const uint8_t*, int32_t)>& sink);

protected:
    virtual void DoChangeStatus();
    virtual void DoChangePosition();
    virtual void DoEndPlay();

private:
    struct TWorkerError;
    class TDecoderOwner;
    enum class TStepResult { srIdle, srWorked, srEnd };
    // What the owner is shown of a file that still plays while the next one is decoded.
    struct TShown {
        TMP3Info info;
        TTrackInfo track;  // its name and length too
    };
    const TMP3Info& Shown() const { return outgoing_ ? outgoing_->info : info_; }
    // Reads the stream's tags, finds its first frame, sets the decoder up and works out what
    // of it is kept and how loud: the open of OpenStream, without closing or playing.
    void LoadStream();
    // OpenStream for a stream read from the file `name`.
    void OpenStreamAs(TMPStream* stream, uint8_t flags, const std::string& name);
    // The open file's length, whichever file is heard.
    int32_t StreamDuration() const;
    // Under the decoder lock: the next frames decoded are those from `sample` (of the kept
    // ones) on, with the frames before it that Layer III needs decoded but not written.
    void SeekDecoding(int64_t sample);
    // The data has ended and the owner named `name` to follow: opens it in place of the
    // ended file and plays it on (same format), or lets the ended one drain first.
    void CarryOn(const std::string& name);
    void RequestDrain();
    // The open file becomes `name` (seekable, owned), stopped or not as before; false when
    // it cannot be read.
    bool Reopen(const std::string& name);
    // The file heard changes from the outgoing one to the open one.
    void NextHeard();
    // Back to the file still heard, when a command concerns it before the next is heard.
    void CancelCarryOn();
    // Under the decoder lock: where frame `frame` starts, from the data start; false when
    // only an estimate could be given.
    bool FrameOffset(int64_t frame, int64_t& offset) const;
    // Played bytes of the output as ms at the rate it was opened with.
    int64_t PlayedMs(int64_t bytes) const;

    void HandleMessage(TMessage& message);
    void SetStatus(TMP3Status status);
    void SetPaused(bool paused);
    // Fills track_ from the open file, with the gains of its LAME tag; the cover moves there.
    void DescribeTrack(const mp3::TLameTag& lame);
    void PostUnique(uint32_t msg, uintptr_t wParam = 0);
    void UpdateEqualizer();
    void WorkerError(std::exception_ptr error, bool& handled, bool onDecoderThread);
    void DecodeStep();
    // The part of the step that needs no output: parse, set up, decode. Under the decoder
    // lock. srWorked: PCM is pending.
    TStepResult PrepareFrame();
    // The end of the data: queues the partly filled buffer and ends the steps; returns the
    // playback's number. Under the decoder lock.
    uint32_t QueueTheRest();
    // Waits, holding no lock, until the output has played everything, then posts the end of
    // data unless that playback has been stopped meanwhile.
    void AwaitPlayedOut(uint32_t serial);
    bool Seekable() const { return (streamFlags_ & kStreamSeekable) != 0; }

    // The stream and the reader.
    TMPStream* stream_ = nullptr;
    uint8_t streamFlags_ = 0;
    TMPStreamReader reader_{65536};
    // The data range, the frame at the read point and the stream's reference header.
    TFrameWalk walk_{reader_};
    FrameHeader header_{};

    bool autoPlay_ = true;
    bool autoOpen_ = true;
    std::string fileName_;
    int32_t changePosStep_ = 400;
    int32_t volBalance_ = 0;
    int32_t volume_ = 100;
    TMP3Status status_ = TMP3Status::mpsStopped;
    TMP3Info info_;
    TTrackInfo track_;

    int32_t channels_ = 0;
    int32_t layer_ = 0;
    int32_t version_ = 0;
    int32_t sampleRate_ = 0;
    int32_t bitRate_ = 0;

    TMP3EndPlayReason endReason_ = TMP3EndPlayReason::mepStopped;
    std::unique_ptr<TSoundOut> soundOut_;

    std::unique_ptr<uint8_t[]> pcm_;  // one decoded frame
    int32_t pendingPcm_ = 0;
    int32_t pcmOffset_ = 0;  // where the pending PCM starts in the block
    // Decoded samples per channel, counted from the first audio frame: the range that is
    // heard (gapless trimming), where writing starts (a seek), and the next frame's first.
    mp3::TKeptRange kept_;
    int64_t keepFrom_ = 0;
    int64_t nextSample_ = 0;
    int32_t samplesPerFrame_ = 0;
    float gainDb_ = NAN;
    // Where each frame of the open file starts, found on a thread of its own (files only).
    std::unique_ptr<TFrameIndex> index_;
    mp3::TReplayGainMode replayGain_ = mp3::TReplayGainMode::rgmOff;
    int64_t writtenBytes_ = 0;  // to the output since it opened or was reset
    // Main thread: where the output's first sample lies in the file heard (a seek target),
    // and the output's format as opened.
    int64_t positionBaseMs_ = 0;
    struct {
        int32_t rate = 0, channels = 0, bits = 0;
    } outFormat_;
    // At the end of the data the owner is asked for the next file (OnQueryNext, a file, the
    // device); then the main thread decides between carrying on and draining.
    bool carryOn_ = false;
    bool awaitingNext_ = false;
    bool drainRequested_ = false;
    // Carrying on: the file still heard, and the output bytes after which the open one is.
    std::optional<TShown> outgoing_;
    int64_t nextBoundary_ = -1;
    uint32_t deferredNext_ = 0;  // the playback whose query waits for that
    // The open file plays (or waits to) as the continuation the owner asked for, until the
    // owner starts it by name.
    bool continuation_ = false;
    int64_t totalPlayed_ = 0;
    int64_t position_ = 0;
    int32_t pcmBytesPerFrame_ = 0;
    int64_t vbrTotal_ = 0;
    std::string outputFileName_;

    TMPSimpleMutex outputLock_;
    std::unique_ptr<TMessageWindow> window_;
    std::unique_ptr<TDecoderOwner> decoderOwner_;
    std::unique_ptr<TMPLoopThread> decoderThread_;
    TMPSimpleMutex decoderLock_;
    TMpegDecoder decoder_;  // this player's own: players never share decoder state

    TMP3CpuCapabilities usingCpuCapabilities_ = kAllCpuCapabilities;
    int32_t equalizerCount_ = 6;
    TMP3EqualizerMode equalizerMode_ = TMP3EqualizerMode::memSubBand;
    std::array<int32_t, kEqualizerBands> equalizerGain_{};
    std::array<int32_t, kEqualizerBands> equalizerFrequency_{};
    bool equalizerEnabled_ = false;
    bool noisySeek_ = true;
    TThreadPriority decodePriority_ = TThreadPriority::tpNormal;
    int32_t deviceId_ = -1;

    // Guarded by the decoder lock: steps run only while playing_ (set by Play, cleared by
    // Stop), and not after a step of this playback has failed.
    bool playing_ = false;
    std::atomic<bool> stepFailed_{false};
    // Playback number: an end-of-data or error message of an earlier playback is stale.
    uint32_t playSerial_ = 0;
    std::atomic<uint32_t> stepSerial_{0};
    std::atomic<uint32_t> errorSerial_{0};  // playback whose error has been posted
    // While the main thread waits for a worker (locks, output close, destruction), workers
    // reporting an error do not wait for the main thread to show it.
    std::atomic<int32_t> mainWaiting_{0};
    // Worker errors waiting to be shown, in the order they were posted.
    std::mutex errorsLock_;
    std::deque<std::shared_ptr<TWorkerError>> errors_;
};

}  // namespace zentu
