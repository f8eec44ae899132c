// TMP3Player: commands, properties, the hidden window's messages and the equalizer update.
// The decoder thread's work is in decode_loop.cpp.
#include "player/mp3_player.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "decoder/dispatch.h"
#include "decoder/equalizer.h"
#include "platform/exceptions.h"
#include "platform/text_codec.h"

namespace zentu {

namespace {

const char kUnknownFormat[] = "unknown MPEG Audio format.";

[[noreturn]] void RaiseUnknownFormat() { throw Exception(kUnknownFormat); }

// The tags' title, or else the file's name without its folder.
std::string TitleOf(const TMP3Info& info, const std::string& fileName) {
    std::string title = info.Title();
    if (title.empty() && !fileName.empty()) {
        const size_t slash = fileName.find_last_of('/');
        title = slash == std::string::npos ? fileName : fileName.substr(slash + 1);
    }
    return title;
}

}  // namespace

// Counts the main thread as waiting for a worker while it holds or waits for the player's
// locks: a worker reporting an error then does not wait for the main thread to show it.
class TMainWait {
public:
    explicit TMainWait(std::atomic<int32_t>& counter) : counter_(counter) { ++counter_; }
    ~TMainWait() { --counter_; }
    TMainWait(const TMainWait&) = delete;
    TMainWait& operator=(const TMainWait&) = delete;

private:
    std::atomic<int32_t>& counter_;
};

// An error raised on a worker thread, waiting for the main thread to show it.
struct TMP3Player::TWorkerError {
    std::exception_ptr error;
    TMPSimpleEvent shown;
    uint32_t serial = 0;
};

// The decoder thread's message owner: LTM_STEP runs a decode step.
class TMP3Player::TDecoderOwner final : public TMessageHandler {
public:
    explicit TDecoderOwner(TMP3Player& player) : player_(player) {}
    void Dispatch(TMessage& message) override {
        if (message.Msg == LTM_STEP) player_.DecodeStep();
    }

private:
    TMP3Player& player_;
};

TMP3Player::TMP3Player(TComponent* owner) : TComponent(owner) {
    window_ = MainLoop().CreateWindow([this](TMessage& m) { HandleMessage(m); });
    soundOut_ = std::make_unique<TSoundOut>();
    soundOut_->SetDeviceID(deviceId_);
    soundOut_->SetNotifyInterval(changePosStep_);
    soundOut_->SetOnException(
        [this](TSoundOut&, std::exception_ptr error, bool& handled) { WorkerError(error, handled, false); });
    soundOut_->SetOnDone([this](TSoundOut&) { window_->Post(MPM_POSITION); });
    decoderOwner_ = std::make_unique<TDecoderOwner>(*this);
    decoderThread_ = std::make_unique<TMPLoopThread>(decoderOwner_.get(), "zentu-decoder");
    decoderThread_->SetOnException(
        [this](TMPLoopThread&, std::exception_ptr error, bool& handled) { WorkerError(error, handled, true); });
    decoderThread_->Resume();
}

TMP3Player::~TMP3Player() {
    BeginDestroying();
    ++mainWaiting_;  // for good: no worker may wait for us from now on
    try {
        Stop();
    } catch (...) {
    }
    try {
        Close();
    } catch (...) {
    }
    // End the thread before the pointer to it goes: a step still running reads it.
    decoderThread_->Terminate();
    decoderThread_.reset();
    soundOut_.reset();
    window_.reset();
    std::scoped_lock lock(errorsLock_);
    errors_.clear();
}

void TMP3Player::Loaded() {
    TComponent::Loaded();
    if (Designing()) return;
    if (equalizerMode_ == TMP3EqualizerMode::memFreq) SetEqualizerRange(60, 16000);
    if (autoOpen_ && !fileName_.empty()) Open();
}

void TMP3Player::LoadStream() {
    mp3::TLameTag lame;
    {
        TMainWait wait(mainWaiting_);
        std::scoped_lock lock(decoderLock_);
        reader_.Open(stream_, Seekable());
        pcm_ = std::make_unique<uint8_t[]>(kPcmBlockBytes);

        // Tags, the audio range and the first frame, with the decoder set up for it: the
        // same reading as IsValidFile's, so that a file the check accepts opens.
        info_.Attach(&reader_);
        if (!info_.FindAudio(walk_, decoder_)) RaiseUnknownFormat();
        pendingPcm_ = pcmOffset_ = 0;
        header_ = walk_.FirstHeader();
        bitRate_ = walk_.BitRate();
        layer_ = 4 - header_.layerCode;
        version_ = header_.versionBit == 1 ? 1 : header_.syncKind == 1 ? 2 : 3;

        const DecodedFormat format = decoder_.GetDecodedFormat();
        {
            std::scoped_lock out(outputLock_);
            soundOut_->SetSampleRate(format.sampleRate);
            soundOut_->SetBitsPerSample(format.bitsPerSample);
            soundOut_->SetChannels(format.channels);
        }
        sampleRate_ = format.sampleRate;
        channels_ = format.channels;
        pcmBytesPerFrame_ = format.samplesPerFrame * format.bitsPerSample / 8;
        samplesPerFrame_ = format.samplesPerFrame / format.channels;

        // A VBR header frame carries no audio: it gives the length and is skipped. Without
        // a frame count the file can be believed, the length comes from its size.
        const TVbrHeader vbr = walk_.StepOverVbrHeader();
        vbrTotal_ = 0;
        if (vbr.frames > 0) {
            bitRate_ = 0;
            vbrTotal_ = vbr.frames * pcmBytesPerFrame_;
        }
        // The encoder's delay and padding are not heard (a LAME tag says how long they are).
        kept_ = mp3::GaplessRange(layer_, vbr.lame.delay, vbr.lame.padding, vbr.frames, samplesPerFrame_);
        // Every frame's place, for seeking and the exact length: a pass over the headers,
        // off this thread.
        index_.reset();
        if (const auto* file = dynamic_cast<const TMPFileStream*>(stream_); file && Seekable()) {
            index_ = std::make_unique<TFrameIndex>(FrameIndexSource(file->FileName(), walk_));
            index_->Start();
        }
        keepFrom_ = kept_.begin;
        nextSample_ = 0;
        lame = vbr.lame;
    }
    DescribeTrack(lame);
    const float gain = mp3::ReplayGainScale(track_.gain, replayGain_, &gainDb_);
    {
        TMainWait wait(mainWaiting_);
        std::scoped_lock lock(decoderLock_);
        decoder_.SetOutputGain(gain);
    }
    PostUnique(MPM_EQUALIZER);  // for the stream's sample rate
}

// ---- Commands ---------------------------------------------------------------------------

void TMP3Player::Open() {
    if (fileName_.empty()) {
        Close();
        return;
    }
    // The stream is made before anything is closed: a file that cannot be opened leaves
    // the open one as it is.
    auto stream = std::make_unique<TMPFileStream>(fileName_);
    OpenStreamAs(stream.release(), kStreamSeekable | kStreamOwned, std::string(fileName_));
}

void TMP3Player::OpenStream(TMPStream* stream, uint8_t flags) { OpenStreamAs(stream, flags, {}); }

void TMP3Player::OpenStreamAs(TMPStream* stream, uint8_t flags, const std::string& name) {
    try {
        Close();
    } catch (...) {
        if (flags & kStreamOwned) delete stream;
        throw;
    }
    fileName_ = name;  // Close cleared it; the description is made with it
    stream_ = stream;
    streamFlags_ = flags;
    if (stream_ != nullptr) {
        try {
            LoadStream();
        } catch (...) {
            Close();
            throw;
        }
        SetStatus(TMP3Status::mpsStopped);
    }
    if (autoPlay_) Play();
}

void TMP3Player::Close() {
    continuation_ = false;
    if (!IsOpen()) return;
    if (status_ != TMP3Status::mpsStopped) {
        Stop();
        // Stopping a stream that cannot be rewound closes it already.
        if (!IsOpen()) return;
    }
    {
        TMainWait wait(mainWaiting_);
        std::scoped_lock lock(decoderLock_);
        reader_.Close();
        pcm_.reset();
        walk_.Reset();
        pendingPcm_ = 0;
    }
    fileName_.clear();
    TMPStream* stream = stream_;
    const bool owned = (streamFlags_ & kStreamOwned) != 0;
    stream_ = nullptr;
    streamFlags_ = 0;
    if (owned) delete stream;
    info_.Clear();
    track_ = TTrackInfo{};
    outgoing_.reset();
    nextBoundary_ = -1;
    index_.reset();
    kept_ = mp3::TKeptRange{};
    keepFrom_ = nextSample_ = 0;
    samplesPerFrame_ = 0;
    gainDb_ = NAN;
    header_ = FrameHeader{};
    bitRate_ = channels_ = layer_ = version_ = sampleRate_ = 0;
    totalPlayed_ = position_ = positionBaseMs_ = 0;
    pcmBytesPerFrame_ = 0;
    vbrTotal_ = 0;
    SetStatus(TMP3Status::mpsStopped);
}

void TMP3Player::Play() {
    if (!IsOpen() || status_ != TMP3Status::mpsStopped) return;
    const uint32_t word = EffectiveCapabilityWord(DetectCpuCapabilities(), usingCpuCapabilities_);
    try {
        TMainWait wait(mainWaiting_);
        std::scoped_lock lock(decoderLock_);
        DispatchRoutines(word, decoder_.Routines());
        playing_ = true;
        stepFailed_ = false;
        stepSerial_ = ++playSerial_;
        writtenBytes_ = 0;
        // Read here, on the main thread: the decode steps only look at the flag.
        carryOn_ = OnQueryNext && Seekable() && outputFileName_.empty();
        std::scoped_lock out(outputLock_);
        outFormat_ = {soundOut_->SampleRate(), soundOut_->Channels(), soundOut_->BitsPerSample()};
        soundOut_->SetOnDone([this](TSoundOut&) { window_->Post(MPM_POSITION); });
        soundOut_->SetOutputFileName(outputFileName_);
        soundOut_->SetDeviceID(deviceId_);
        soundOut_->Open();
        decoderThread_->WakeEvent().SetEvent();
    } catch (...) {
        // The output closed itself; no step may run for this playback.
        TMainWait wait(mainWaiting_);
        std::scoped_lock lock(decoderLock_);
        playing_ = false;
        decoderThread_->WakeEvent().ResetEvent();
        std::scoped_lock out(outputLock_);
        soundOut_->SetOnDone(nullptr);
        throw;
    }
    SetStatus(TMP3Status::mpsPlaying);
    endReason_ = TMP3EndPlayReason::mepStopped;
    PostUnique(MPM_POSITION);
}

void TMP3Player::Stop() {
    if (!IsOpen() || status_ == TMP3Status::mpsStopped) return;
    CancelCarryOn();
    continuation_ = false;
    outputFileName_.clear();
    // An output that fails to close (a WAV file's header on a full disc) still ends up
    // closed; the player stops all the same and then passes the error on.
    std::exception_ptr failure;
    {
        TMainWait wait(mainWaiting_);
        std::scoped_lock lock(decoderLock_);
        {
            std::scoped_lock out(outputLock_);
            soundOut_->SetOnDone(nullptr);
            try {
                soundOut_->Reset();
                soundOut_->Close();
            } catch (...) {
                failure = std::current_exception();
            }
        }
        decoderThread_->WakeEvent().ResetEvent();
        playing_ = false;
        // Back to the start under the lock: the decoder thread may still be filling the ring.
        SeekDecoding(0);
    }
    totalPlayed_ = 0;
    position_ = positionBaseMs_ = 0;
    SetStatus(TMP3Status::mpsStopped);
    PostUnique(MPM_POSITION);
    if (!Seekable()) Close();
    if (failure) std::rethrow_exception(failure);
}

void TMP3Player::Pause() { SetPaused(true); }
void TMP3Player::Resume() { SetPaused(false); }

void TMP3Player::SetPaused(bool paused) {
    const TMP3Status from = paused ? TMP3Status::mpsPlaying : TMP3Status::mpsPaused;
    if (!IsOpen() || status_ != from) return;
    {
        TMainWait wait(mainWaiting_);
        std::scoped_lock out(outputLock_);
        if (paused)
            soundOut_->Pause();
        else
            soundOut_->Restart();
    }
    SetStatus(paused ? TMP3Status::mpsPaused : TMP3Status::mpsPlaying);
    PostUnique(MPM_POSITION);
}

void TMP3Player::SetPosition(int32_t ms) {
    if (!IsOpen() || ms < 0 || !Seekable() || samplesPerFrame_ <= 0) return;
    CancelCarryOn();
    const int32_t length = Duration();
    if (length > 0 && ms >= length) {
        // As the natural end: what plays stops, and the end of the data is reported.
        if (status_ != TMP3Status::mpsStopped) {
            endReason_ = TMP3EndPlayReason::mepEndOfData;
            Stop();
        }
        return;
    }
    {
        TMainWait wait(mainWaiting_);
        std::scoped_lock lock(decoderLock_);
        std::scoped_lock out(outputLock_);
        // The audio queued for the old place is dropped; a paused output stays paused.
        if (soundOut_->IsOpen()) {
            soundOut_->SetWaitEvent(nullptr);
            soundOut_->Reset();
            soundOut_->GetDoneBytes();
        }
        writtenBytes_ = 0;
        // A drain or an end of data on its way belongs to the old place.
        stepSerial_ = ++playSerial_;
        SeekDecoding(int64_t{ms} * sampleRate_ / 1000);
        if (playing_) decoderThread_->WakeEvent().SetEvent();
    }
    totalPlayed_ = 0;
    position_ = positionBaseMs_ = ms;
    PostUnique(MPM_POSITION);
}

void TMP3Player::DescribeTrack(const mp3::TLameTag& lame) {
    TTrackInfo t;
    t.fileName = fileName_;
    t.title = ToDisplayText(TitleOf(info_, fileName_));
    t.artist = ToDisplayText(info_.Artist());
    t.album = ToDisplayText(info_.Album());
    t.year = ToDisplayText(info_.Year());
    t.comment = ToDisplayText(info_.Comment());
    t.durationMs = StreamDuration();
    t.sampleRate = sampleRate_;
    t.channels = channels_;
    t.bitRate = bitRate_;
    t.layer = layer_;
    t.version = version_;
    t.mode = header_.mode;
    t.gain = mp3::CombinedGain(info_.Gain(), lame);
    t.picture = info_.TakePicture();
    track_ = std::move(t);
}

// ---- Values -----------------------------------------------------------------------------

int32_t TMP3Player::Duration() const { return outgoing_ ? outgoing_->track.durationMs : StreamDuration(); }

int32_t TMP3Player::StreamDuration() const {
    // The kept samples when the encoder says what they are.
    if (kept_.end != mp3::kNoEnd && sampleRate_ > 0) return static_cast<int32_t>((kept_.end - kept_.begin) * 1000 / sampleRate_);
    int64_t ms = mp3::Duration(vbrTotal_, sampleRate_, channels_, bitRate_, walk_.DataLength());
    // Without a usable frame count from a VBR header, the frames counted: where the frame
    // lengths vary (VBR without a header, a count that does not fit the file) the size and the
    // first frame's bit rate say little. A constant rate keeps its estimate.
    if (vbrTotal_ <= 0 && index_ && index_->Done() && sampleRate_ > 0) {
        const int64_t counted = index_->FrameCount() * samplesPerFrame_ * 1000 / sampleRate_;
        if (std::abs(counted - ms) > int64_t{samplesPerFrame_} * 1000 / sampleRate_) ms = counted;
    }
    if (ms > 0 && sampleRate_ > 0) ms = std::max<int64_t>(0, ms - kept_.begin * 1000 / sampleRate_);
    return static_cast<int32_t>(ms);
}

// ---- Carrying on into the next file ------------------------------------------------------

namespace {
// How often the output reports its position while the next file's first sample is near.
constexpr int32_t kBoundaryTickMs = 40;
}  // namespace

bool TMP3Player::Reopen(const std::string& name) {
    std::unique_ptr<TMPFileStream> stream;
    try {
        stream = std::make_unique<TMPFileStream>(name);
    } catch (const Exception&) {
        return false;
    }
    {
        TMainWait wait(mainWaiting_);
        std::scoped_lock lock(decoderLock_);
        reader_.Close();
        walk_.Reset();
        // The decoder thread idles until the caller places the decoding of the new file.
        awaitingNext_ = true;
        drainRequested_ = false;
        pendingPcm_ = 0;
    }
    if (streamFlags_ & kStreamOwned) delete stream_;
    stream_ = stream.release();
    streamFlags_ = kStreamSeekable | kStreamOwned;
    fileName_ = name;
    try {
        LoadStream();
    } catch (const Exception&) {
        return false;
    }
    return true;
}

void TMP3Player::CarryOn(const std::string& name) {
    if (name.empty() || !fileName_.size()) {
        RequestDrain();
        return;
    }
    // The ended file stays what the owner is shown until its last sample has been heard
    // (from when the next file has been described).
    TShown shown{info_, std::move(track_)};  // track_ is described anew by the reopen
    shown.info.Attach(nullptr);
    shown.track.durationMs = StreamDuration();
    const int32_t rate = sampleRate_, channels = channels_;
    if (!Reopen(name)) {
        // Unreadable after all: the ended file plays out, and the owner passes this one over.
        Reopen(shown.track.fileName);
        RequestDrain();
        return;
    }
    outgoing_ = std::move(shown);
    continuation_ = true;
    if (sampleRate_ != rate || channels_ != channels) {
        RequestDrain();  // another format: the output drains and opens again for it
        return;
    }
    // One output for both: the next file's first sample follows the last of the ended one.
    TMainWait wait(mainWaiting_);
    std::scoped_lock lock(decoderLock_);
    nextBoundary_ = writtenBytes_;
    awaitingNext_ = false;
    {
        std::scoped_lock out(outputLock_);
        soundOut_->SetNotifyInterval(kBoundaryTickMs);
    }
    decoderThread_->WakeEvent().SetEvent();
}

void TMP3Player::RequestDrain() {
    TMainWait wait(mainWaiting_);
    std::scoped_lock lock(decoderLock_);
    if (!awaitingNext_) return;
    drainRequested_ = true;
    decoderThread_->WakeEvent().SetEvent();
}

void TMP3Player::NextHeard() {
    outgoing_.reset();
    {
        TMainWait wait(mainWaiting_);
        std::scoped_lock lock(decoderLock_);
        writtenBytes_ -= nextBoundary_;
        std::scoped_lock out(outputLock_);
        soundOut_->SetNotifyInterval(changePosStep_);
    }
    totalPlayed_ -= nextBoundary_;
    nextBoundary_ = -1;
    positionBaseMs_ = 0;
    // The ended file's end, as the owner would see it after a drain; it starts the next by
    // name, which plays already.
    endReason_ = TMP3EndPlayReason::mepEndOfData;
    SetStatus(status_);
    PostUnique(MPM_ENDPLAY);
    PostUnique(MPM_POSITION);
}

void TMP3Player::CancelCarryOn() {
    if (!outgoing_) return;
    const std::string name = outgoing_->track.fileName;
    outgoing_.reset();
    nextBoundary_ = -1;
    continuation_ = false;
    {
        TMainWait wait(mainWaiting_);
        std::scoped_lock out(outputLock_);
        soundOut_->SetNotifyInterval(changePosStep_);
    }
    // The caller places (or stops) the decoding of the file reopened.
    Reopen(name);
}

int64_t TMP3Player::PlayedMs(int64_t bytes) const {
    return mp3::PositionMs(bytes, outFormat_.rate, outFormat_.channels, outFormat_.bits);
}

int32_t TMP3Player::Position() {
    TMainWait wait(mainWaiting_);
    std::scoped_lock out(outputLock_);
    if (soundOut_->IsOpen()) {
        totalPlayed_ += soundOut_->GetDoneBytes();
        // Until the next file is heard the position is the outgoing one's, and no further.
        if (nextBoundary_ >= 0 && totalPlayed_ >= nextBoundary_) PostUnique(MPM_NEXTHEARD);
        const int64_t played = nextBoundary_ >= 0 ? std::min(totalPlayed_, nextBoundary_) : totalPlayed_;
        position_ = positionBaseMs_ + PlayedMs(played);
    }
    return static_cast<int32_t>(position_);
}

std::string TMP3Player::Title() const { return TitleOf(Shown(), FileName()); }

bool TMP3Player::IsValidFile(const std::string& fileName) {
    TMP3Info info;
    try {
        info.LoadFromFile(fileName);
        return true;
    } catch (const Exception&) {
        return false;
    }
}

// ---- Properties -------------------------------------------------------------------------

void TMP3Player::SetAutoOpen(bool on) {
    autoOpen_ = on;
    if (on && !Loading() && !Designing()) Open();
}

void TMP3Player::SetAutoPlay(bool on) {
    autoPlay_ = on;
    // Any assignment while open and stopped starts playing, true or false.
    if (IsOpen() && status_ == TMP3Status::mpsStopped) Play();
}

void TMP3Player::SetChangePosStep(int32_t ms) {
    if (ms < 100) return;
    changePosStep_ = ms;
    TMainWait wait(mainWaiting_);
    std::scoped_lock out(outputLock_);
    soundOut_->SetNotifyInterval(ms);
}

void TMP3Player::SetDecodePriority(TThreadPriority priority) {
    decodePriority_ = priority;
    if (!Designing()) decoderThread_->SetPriority(Win32Priority(priority));
}

void TMP3Player::SetEqualizerEnabled(bool on) {
    if (on == equalizerEnabled_) return;
    equalizerEnabled_ = on;
    PostUnique(MPM_EQUALIZER);
}

void TMP3Player::SetEqualizerCount(int32_t count) {
    if (count <= 0) return;
    if (count > kEqualizerBands) count = kEqualizerBands;  // the band arrays hold 32
    if (count == equalizerCount_) return;
    equalizerCount_ = count;
    PostUnique(MPM_EQUALIZER);
}

void TMP3Player::SetEqualizerMode(TMP3EqualizerMode mode) {
    if (mode == equalizerMode_) return;
    equalizerMode_ = mode;
    PostUnique(MPM_EQUALIZER);
}

void TMP3Player::SetFileName(const std::string& name) {
    if (continuation_ && name == fileName_ && IsOpen()) {
        // The file asked for as the continuation: it plays already (or is open, when its
        // format made the output drain first).
        continuation_ = false;
        SetStatus(status_);
        PostUnique(MPM_POSITION);
        if (status_ == TMP3Status::mpsStopped && autoPlay_) Play();
        return;
    }
    continuation_ = false;
    fileName_ = name;
    if (autoOpen_ && !Loading() && !Designing()) Open();
}

bool TMP3Player::InvertPolarity() {
    TMainWait wait(mainWaiting_);
    std::scoped_lock lock(decoderLock_);
    return decoder_.GetInvertPolarity();
}

void TMP3Player::SetInvertPolarity(bool on) {
    TMainWait wait(mainWaiting_);
    std::scoped_lock lock(decoderLock_);
    decoder_.SetInvertPolarity(on);
}

void TMP3Player::SetUsingCpuCapabilities(TMP3CpuCapabilities set) {
    set &= kAllCpuCapabilities;
    usingCpuCapabilities_ = Designing() ? set : static_cast<TMP3CpuCapabilities>(set & WordToCpuCapabilities(DetectCpuCapabilities()));
}

void TMP3Player::SetVolBalance(int32_t balance) {
    if (balance < -100 || balance > 100) return;
    volBalance_ = balance;
    TMainWait wait(mainWaiting_);
    std::scoped_lock out(outputLock_);
    soundOut_->SetBalance(balance);
}

void TMP3Player::SetVolume(int32_t volume) {
    if (volume < 0 || volume > 100) return;
    TMainWait wait(mainWaiting_);
    std::scoped_lock out(outputLock_);
    if (volume == 0 && Loading() && !Designing()) {
        // A stored 0 means "as the device is now".
        volume_ = soundOut_->Volume();
        return;
    }
    volume_ = volume;
    soundOut_->SetVolume(volume);
}

int32_t TMP3Player::EqualizerGain(int32_t index) const {
    return index >= 0 && index < kEqualizerBands ? equalizerGain_[index] : 0;
}

void TMP3Player::SetEqualizerGain(int32_t index, int32_t gain) {
    if (index >= 0 && index < kEqualizerBands) equalizerGain_[index] = gain;
}

int32_t TMP3Player::EqualizerFrequency(int32_t index) const {
    return index >= 0 && index < kEqualizerBands ? equalizerFrequency_[index] : 0;
}

void TMP3Player::SetEqualizerFrequency(int32_t index, int32_t hz) {
    if (index >= 0 && index < kEqualizerBands) equalizerFrequency_[index] = hz;
}

void TMP3Player::SetEqualizerRange(int32_t low, int32_t high) {
    if (equalizerMode_ != TMP3EqualizerMode::memFreq) return;
    if (low < 1 || low > high || high > 24000) return;
    const int32_t n = equalizerCount_;
    equalizerFrequency_[0] = low;
    for (int32_t i = 1; i <= n - 2; ++i) {
        const long double previous = equalizerFrequency_[i - 1];
        const long double step = std::pow(static_cast<long double>(high) / previous, 1.0L / (n - i));
        equalizerFrequency_[i] = static_cast<int32_t>(mp3::RoundEven(previous * step));
        Assert(equalizerFrequency_[i] >= equalizerFrequency_[i - 1], "MP3Plyr: band frequency below the one before");
    }
    equalizerFrequency_[n - 1] = high;
    PostUnique(MPM_EQUALIZER);
}

// ---- Events and messages ----------------------------------------------------------------

void TMP3Player::DoChangeStatus() {
    if (!Destroying() && OnChangeStatus) OnChangeStatus(*this);
}

void TMP3Player::DoChangePosition() {
    if (!Destroying() && OnChangePosition) OnChangePosition(*this);
}

void TMP3Player::DoEndPlay() {
    // Back to mepStopped before the handler runs: the handler may start the next file, or
    // free this player.
    const TMP3EndPlayReason reason = endReason_;
    endReason_ = TMP3EndPlayReason::mepStopped;
    if (OnEndPlay) OnEndPlay(*this, reason);
}

void TMP3Player::PostUnique(uint32_t msg, uintptr_t wParam) {
    if (window_) window_->PostUnique(msg, wParam);
}

void TMP3Player::SetStatus(TMP3Status status) {
    const bool endPlay = IsOpen() && status_ != TMP3Status::mpsStopped && status == TMP3Status::mpsStopped;
    status_ = status;
    PostUnique(MPM_STATUS);
    if (endPlay) PostUnique(MPM_ENDPLAY);
}

void TMP3Player::HandleMessage(TMessage& message) {
    switch (message.Msg) {
        case MPM_POSITION:
            window_->RemovePending(MPM_POSITION);
            Position();  // notices the next file being heard
            // The length, once the frames have been counted.
            if (IsOpen() && !outgoing_) {
                const int32_t duration = StreamDuration();
                if (track_.durationMs != duration) {
                    track_.durationMs = duration;
                    PostUnique(MPM_STATUS);
                }
            }
            DoChangePosition();
            break;
        case MPM_NEXTHEARD:
            if (nextBoundary_ >= 0 && totalPlayed_ >= nextBoundary_) NextHeard();
            break;
        case MPM_NEXTFILE:
            if (message.WParam != playSerial_ || status_ == TMP3Status::mpsStopped) break;
            if (outgoing_) {
                // A short file ended before the one it follows was heard to its end: asked
                // once the owner has started it.
                deferredNext_ = message.WParam;
                break;
            }
            {
                std::string next;
                if (OnQueryNext) OnQueryNext(*this, next);
                CarryOn(next);
            }
            break;
        case MPM_ERROR: {
            std::shared_ptr<TWorkerError> record;
            {
                std::scoped_lock lock(errorsLock_);
                if (!errors_.empty()) {
                    record = errors_.front();
                    errors_.pop_front();
                }
            }
            if (!record) break;
            try {
                MainLoop().ShowException(record->error);
            } catch (...) {
            }
            record->shown.SetEvent();
            // An error of an earlier playback must not stop this one.
            if (record->serial == playSerial_ && status_ != TMP3Status::mpsStopped) {
                endReason_ = TMP3EndPlayReason::mepError;
                Stop();
            }
            break;
        }
        case MPM_ENDOFDATA:
            // Stale when this playback was stopped (and maybe started again) meanwhile.
            if (message.WParam != playSerial_ || status_ == TMP3Status::mpsStopped) break;
            endReason_ = TMP3EndPlayReason::mepEndOfData;
            if (outgoing_) {
                // The next file (of another format) is open already: the outgoing one has
                // played out, and the owner starts the next by name.
                outgoing_.reset();
                Stop();
                continuation_ = true;
            } else if (Seekable()) {
                Stop();
            } else {
                Close();
            }
            break;
        case MPM_STATUS:
            window_->RemovePending(MPM_STATUS);
            DoChangeStatus();
            break;
        case MPM_ENDPLAY:
            window_->RemovePending(MPM_ENDPLAY);
            DoEndPlay();
            // A continuation the owner did not start is not played.
            if (continuation_) {
                continuation_ = false;
                Stop();
            }
            if (deferredNext_ != 0) {
                if (deferredNext_ == playSerial_ && status_ != TMP3Status::mpsStopped) window_->Post(MPM_NEXTFILE, deferredNext_);
                deferredNext_ = 0;
            }
            break;
        case MPM_EQUALIZER:
            window_->RemovePending(MPM_EQUALIZER);
            if (IsOpen()) UpdateEqualizer();
            break;
        default:
            break;
    }
}

void TMP3Player::WorkerError(std::exception_ptr error, bool& handled, bool onDecoderThread) {
    // No further step of this playback: one error is shown once.
    if (onDecoderThread) stepFailed_ = true;
    handled = true;
    const uint32_t serial = stepSerial_.load();
    // The output raises once per buffer when its target fails (a full disc): the first
    // error of a playback is shown, the rest would repeat it.
    if (errorSerial_.exchange(serial) == serial) return;
    auto record = std::make_shared<TWorkerError>();
    record->error = error;
    record->serial = serial;
    {
        std::scoped_lock lock(errorsLock_);
        errors_.push_back(record);
    }
    window_->Post(MPM_ERROR, record->serial);
    // Wait until the main thread has shown it, unless the main thread is itself waiting
    // for a worker (Stop closing the output, the end-of-data drain, destruction).
    while (record->shown.WaitFor(20) != kWaitObject0)
        if (mainWaiting_.load() > 0) break;
}

// ---- Equalizer --------------------------------------------------------------------------

void TMP3Player::UpdateEqualizer() {
    // Under the decoder lock, so that no frame sees a half-written table.
    TMainWait wait(mainWaiting_);
    std::scoped_lock lock(decoderLock_);
    TEqualizerTables& eq = decoder_.Equalizer();
    const int32_t on = equalizerEnabled_ ? 1 : 0;
    const int32_t count = equalizerCount_;
    if (equalizerMode_ == TMP3EqualizerMode::memSubBand) {
        eq.SubbandEqualizerOn = on;
        eq.LineEqualizerOn = 0;
        for (int32_t i = 0; i < 32; ++i) eq.SubbandGains[i] = mp3::BandFactor(equalizerGain_[i]);
        if (sampleRate_ >= 1)
            for (int32_t i = 0; i < 32; ++i) equalizerFrequency_[i] = mp3::SubbandCentre(sampleRate_, i);
    } else if (layer_ == 3) {
        eq.SubbandEqualizerOn = 0;
        eq.LineEqualizerOn = on;
        if (on)
            for (int32_t k = 0; k < 576; ++k)
                eq.LineGains[k] = mp3::BandFactor(
                    equalizerGain_[mp3::NearestBand(mp3::LineCentre(sampleRate_, k), equalizerFrequency_.data(), count)]);
    } else {
        eq.SubbandEqualizerOn = on;
        eq.LineEqualizerOn = 0;
        if (on)
            for (int32_t k = 0; k < 32; ++k)
                eq.SubbandGains[k] = mp3::BandFactor(equalizerGain_[mp3::NearestBand(
                    mp3::SubbandCentre(sampleRate_, k), equalizerFrequency_.data(), count)]);
    }
}

}  // namespace zentu
