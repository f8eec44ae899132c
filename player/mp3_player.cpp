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

// How often the output reports its position while the next file's first sample is near.
constexpr int32_t kBoundaryTickMs = 40;

const TTrackInfo kNoTrack;

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

std::unique_ptr<TMP3Stream> TMP3Player::OpenSource(TMPStream* source, uint8_t flags, const std::string& name) {
    auto stream = std::make_unique<TMP3Stream>();
    {
        TMainWait wait(mainWaiting_);
        std::scoped_lock lock(decoderLock_);
        if (!stream->Open(source, flags, name, decoder_, {true, replayGain_, true}))
            throw Exception("unknown MPEG Audio format.");
    }
    // Passed over as a file that cannot be played: played, it would end as it starts.
    if (stream->Empty()) throw Exception("no audio to play.");
    return stream;
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

void TMP3Player::OpenStreamAs(TMPStream* source, uint8_t flags, const std::string& name) {
    try {
        Close();
    } catch (...) {
        if (flags & kStreamOwned) delete source;
        throw;
    }
    fileName_ = name;  // Close cleared it
    if (source != nullptr) {
        std::unique_ptr<TMP3Stream> stream;
        try {
            stream = OpenSource(source, flags, name);  // frees an owned source when it fails
        } catch (...) {
            fileName_.clear();
            throw;
        }
        {
            TMainWait wait(mainWaiting_);
            std::scoped_lock lock(decoderLock_);
            streams_.push_back({std::move(stream), 0});
        }
        PostUnique(MPM_EQUALIZER);  // for the stream's sample rate
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
        streams_.clear();
        end_ = TEnd::enDecoding;
    }
    fileName_.clear();
    positionBaseMs_ = 0;
    deferredNext_ = 0;
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
        carryOn_ = OnQueryNext && Seekable();
        const DecodedFormat& format = Decoded().Format();
        std::scoped_lock out(outputLock_);
        soundOut_->SetSampleRate(format.sampleRate);
        soundOut_->SetBitsPerSample(format.bitsPerSample);
        soundOut_->SetChannels(format.channels);
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
    positionBaseMs_ = 0;
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
    if (!IsOpen() || ms < 0 || !Seekable()) return;
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
        }
        writtenBytes_ = 0;
        // A drain or an end of data on its way belongs to the old place.
        stepSerial_ = ++playSerial_;
        SeekDecoding(int64_t{ms} * Decoded().Format().sampleRate / 1000);
        if (playing_) decoderThread_->WakeEvent().SetEvent();
    }
    positionBaseMs_ = ms;
    PostUnique(MPM_POSITION);
}

// ---- Values -----------------------------------------------------------------------------

const TTrackInfo& TMP3Player::Track() const { return IsOpen() ? Heard().Track() : kNoTrack; }

// ---- Carrying on into the next file ------------------------------------------------------

void TMP3Player::CarryOn(const std::string& name) {
    if (name.empty()) {
        RequestDrain();
        return;
    }
    std::unique_ptr<TMP3Stream> next;
    try {
        next = OpenSource(new TMPFileStream(name), kStreamSeekable | kStreamOwned, name);
    } catch (const Exception&) {
        // Unreadable after all: the ended file plays out, and the owner passes this one over.
        RequestDrain();
        return;
    }
    const DecodedFormat& format = next->Format();
    const bool joins = format.sampleRate == outFormat_.rate && format.channels == outFormat_.channels &&
                       format.bitsPerSample == outFormat_.bits;
    {
        TMainWait wait(mainWaiting_);
        std::scoped_lock lock(decoderLock_);
        // Another format waits for the output to drain and open again for it.
        streams_.push_back({std::move(next), joins ? writtenBytes_ : -1});
        if (joins) {
            // One output for both: the next file's first sample follows the last of the ended one.
            end_ = TEnd::enDecoding;
            std::scoped_lock out(outputLock_);
            soundOut_->SetNotifyInterval(kBoundaryTickMs);
            decoderThread_->WakeEvent().SetEvent();
        }
    }
    fileName_ = name;
    continuation_ = true;
    PostUnique(MPM_EQUALIZER);
    if (!joins) RequestDrain();
}

void TMP3Player::RequestDrain() {
    TMainWait wait(mainWaiting_);
    std::scoped_lock lock(decoderLock_);
    if (end_ != TEnd::enAsking) return;
    end_ = TEnd::enDrain;
    decoderThread_->WakeEvent().SetEvent();
}

void TMP3Player::NextHeard() {
    {
        TMainWait wait(mainWaiting_);
        std::scoped_lock lock(decoderLock_);
        streams_.pop_front();
        std::scoped_lock out(outputLock_);
        if (streams_.size() == 1) soundOut_->SetNotifyInterval(changePosStep_);
    }
    positionBaseMs_ = 0;
    // The ended file's end, as the owner would see it after a drain; it starts the next by
    // name, which plays already.
    endReason_ = TMP3EndPlayReason::mepEndOfData;
    SetStatus(status_);
    PostUnique(MPM_ENDPLAY);
    PostUnique(MPM_POSITION);
}

void TMP3Player::CancelCarryOn() {
    if (streams_.size() < 2) return;
    continuation_ = false;
    TMainWait wait(mainWaiting_);
    std::scoped_lock lock(decoderLock_);
    streams_.resize(1);
    fileName_ = Heard().Track().fileName;
    std::scoped_lock out(outputLock_);
    soundOut_->SetNotifyInterval(changePosStep_);
    // The caller places (or stops) the decoding of the stream still heard.
}

int64_t TMP3Player::PlayedMs(int64_t bytes) const {
    return mp3::PositionMs(bytes, outFormat_.rate, outFormat_.channels, outFormat_.bits);
}

int64_t TMP3Player::PlayedOfHeard() const {
    TMainWait wait(mainWaiting_);
    std::scoped_lock out(outputLock_);
    if (!soundOut_->IsOpen()) return 0;
    int64_t played = soundOut_->PlayedBytes();
    // Until the next file is heard the position is the heard one's, and no further.
    if (streams_.size() > 1 && streams_[1].mark >= 0) played = std::min(played, streams_[1].mark);
    return std::max<int64_t>(0, played - streams_.front().mark);
}

int32_t TMP3Player::Position() const {
    return static_cast<int32_t>(positionBaseMs_ + (IsOpen() ? PlayedMs(PlayedOfHeard()) : 0));
}

std::string TMP3Player::Title() const { return IsOpen() ? TitleOf(Heard().Info(), FileName()) : TitleOf(TMP3Info{}, fileName_); }

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
    if (continuation_ && IsOpen() && name == Decoded().Track().fileName) {
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
        case MPM_POSITION: HandlePosition(); break;
        case MPM_NEXTFILE: HandleNextFile(static_cast<uint32_t>(message.WParam)); break;
        case MPM_ERROR: HandleError(); break;
        case MPM_ENDOFDATA: HandleEndOfData(static_cast<uint32_t>(message.WParam)); break;
        case MPM_STATUS:
            window_->RemovePending(MPM_STATUS);
            DoChangeStatus();
            break;
        case MPM_ENDPLAY: HandleEndPlay(); break;
        case MPM_EQUALIZER:
            window_->RemovePending(MPM_EQUALIZER);
            if (IsOpen()) UpdateEqualizer();
            break;
        default: break;
    }
}

void TMP3Player::HandlePosition() {
    window_->RemovePending(MPM_POSITION);
    // The next file is heard once the output has played past its mark.
    if (streams_.size() > 1 && streams_[1].mark >= 0) {
        int64_t played = 0;
        {
            TMainWait wait(mainWaiting_);
            std::scoped_lock out(outputLock_);
            if (soundOut_->IsOpen()) played = soundOut_->PlayedBytes();
        }
        if (played >= streams_[1].mark) NextHeard();
    }
    // The length, once the frames have been counted.
    if (IsOpen() && streams_.front().stream->UpdateDuration()) PostUnique(MPM_STATUS);
    DoChangePosition();
}

void TMP3Player::HandleNextFile(uint32_t serial) {
    if (serial != playSerial_ || status_ == TMP3Status::mpsStopped) return;
    if (streams_.size() > 1) {
        // A WAV file has taken the one it follows whole: that is heard.
        if (!outputFileName_.empty()) NextHeard();
        // A short file ended before the one it follows was heard to its end: asked once the
        // owner has started it.
        deferredNext_ = serial;
        return;
    }
    std::string next;
    if (OnQueryNext) OnQueryNext(*this, next);
    CarryOn(next);
}

void TMP3Player::HandleError() {
    std::shared_ptr<TWorkerError> record;
    {
        std::scoped_lock lock(errorsLock_);
        if (errors_.empty()) return;
        record = errors_.front();
        errors_.pop_front();
    }
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
}

void TMP3Player::HandleEndOfData(uint32_t serial) {
    // Stale when this playback was stopped (and maybe started again) meanwhile.
    if (serial != playSerial_ || status_ == TMP3Status::mpsStopped) return;
    endReason_ = TMP3EndPlayReason::mepEndOfData;
    if (streams_.size() > 1) {
        // The next file (of another format) is open already: the one heard has played out,
        // and the owner starts the next by name.
        {
            TMainWait wait(mainWaiting_);
            std::scoped_lock lock(decoderLock_);
            streams_.pop_front();
        }
        Stop();
        continuation_ = true;
    } else if (Seekable()) {
        Stop();
    } else {
        Close();
    }
}

void TMP3Player::HandleEndPlay() {
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
    // For the stream decoded (the next file's, as soon as it is decoded).
    const int32_t rate = Decoded().Format().sampleRate;
    const bool layer3 = Decoded().Track().layer == 3;
    if (equalizerMode_ == TMP3EqualizerMode::memSubBand) {
        eq.SubbandEqualizerOn = on;
        eq.LineEqualizerOn = 0;
        for (int32_t i = 0; i < 32; ++i) eq.SubbandGains[i] = mp3::BandFactor(equalizerGain_[i]);
        if (rate >= 1)
            for (int32_t i = 0; i < 32; ++i) equalizerFrequency_[i] = mp3::SubbandCentre(rate, i);
    } else if (layer3) {
        eq.SubbandEqualizerOn = 0;
        eq.LineEqualizerOn = on;
        if (on)
            for (int32_t k = 0; k < 576; ++k)
                eq.LineGains[k] = mp3::BandFactor(
                    equalizerGain_[mp3::NearestBand(mp3::LineCentre(rate, k), equalizerFrequency_.data(), count)]);
    } else {
        eq.SubbandEqualizerOn = on;
        eq.LineEqualizerOn = 0;
        if (on)
            for (int32_t k = 0; k < 32; ++k)
                eq.SubbandGains[k] = mp3::BandFactor(equalizerGain_[mp3::NearestBand(
                    mp3::SubbandCentre(rate, k), equalizerFrequency_.data(), count)]);
    }
}

}  // namespace zentu
