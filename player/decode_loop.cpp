// The decoder thread's work: one frame per step, from the reader through the decoder (which
// applies the file's gain) into the wave output, keeping only the samples that are heard
// (gapless trimming, a seek's target); and at the end of the data either the next file
// carried on into the same output or the drain.
#include <algorithm>
#include <cstring>
#include <mutex>
#include <thread>

#include "platform/exceptions.h"
#include "player/mp3_player.h"

namespace zentu {

void TMP3Player::DecodeStep() {
    int32_t freePercent = 100;
    uint32_t draining = 0;  // the playback whose last buffers are queued
    {
        std::scoped_lock lock(decoderLock_);
        // A Stop intervened, or a step of this playback has failed and is being reported.
        // (Tested before the thread is looked at: while the player is destroyed the thread
        // object is going away, and its passes must not reach it.)
        if (!playing_ || stepFailed_) return;
        TMPSimpleEvent& wake = decoderThread_->WakeEvent();
        if (wake.WaitFor(0) != kWaitObject0) return;
        if (pendingPcm_ <= 0) {
            if (awaitingNext_) {
                if (!drainRequested_) {
                    wake.ResetEvent();  // the main thread answers with a file or a drain
                    return;
                }
                awaitingNext_ = drainRequested_ = false;
                draining = QueueTheRest();
            } else {
                switch (PrepareFrame()) {
                    case TStepResult::srIdle: return;
                    case TStepResult::srWorked: break;
                    case TStepResult::srEnd:
                        if (carryOn_) {
                            // The output keeps playing what it holds meanwhile, the partly
                            // filled buffer too: the next file's samples follow it in the
                            // device, and a short file's end must be heard for it to start.
                            awaitingNext_ = true;
                            {
                                std::scoped_lock out(outputLock_);
                                soundOut_->SetWaitEvent(nullptr);
                                soundOut_->Flush();
                            }
                            wake.ResetEvent();
                            window_->Post(MPM_NEXTFILE, stepSerial_.load());
                            return;
                        }
                        draining = QueueTheRest();
                        break;
                }
            }
        }
        if (draining == 0) {
            Assert(pendingPcm_ >= 1, "MP3Plyr: no PCM to write");
            std::scoped_lock out(outputLock_);
            if (soundOut_->CanWrite()) {
                const int32_t written = soundOut_->Write(pcm_.get() + pcmOffset_, pendingPcm_);
                pendingPcm_ -= written;
                pcmOffset_ += written;
                writtenBytes_ += written;
            } else {
                // Sleep until a buffer has room: the output signals the event then.
                wake.ResetEvent();
                soundOut_->SetWaitEvent(&wake);
            }
            freePercent = soundOut_->FreePercent();
        }
    }
    if (draining != 0) {
        AwaitPlayedOut(draining);
        return;
    }
    // While the output is full, fill the reader's ring instead of sleeping at once.
    while (freePercent == 0) {
        {
            std::scoped_lock lock(decoderLock_);
            if (!playing_ || !reader_.IsOpen() || !reader_.ReadAhead()) break;
        }
        std::scoped_lock out(outputLock_);
        freePercent = soundOut_->FreePercent();
    }
    if (freePercent <= 25) std::this_thread::yield();
}

TMP3Player::TStepResult TMP3Player::PrepareFrame() {
    if (nextSample_ >= kept_.end) return TStepResult::srEnd;  // the encoder's padding follows
    switch (walk_.Frame(decoder_)) {
        case TFrameWalk::TStep::stEnd: return TStepResult::srEnd;
        case TFrameWalk::TStep::stSkipped: return TStepResult::srIdle;
        case TFrameWalk::TStep::stFrame: break;
    }
    const DecodeResult result = decoder_.DecodeFrame(reader_.Current(), walk_.PendingLength(), pcm_.get());
    walk_.Next();
    // A frame that cannot be decoded plays as one frame of silence.
    if (result.consumed < 1) std::memset(pcm_.get(), 0, static_cast<size_t>(pcmBytesPerFrame_));
    const int64_t first = nextSample_;
    nextSample_ += samplesPerFrame_;
    const mp3::TSlice slice = mp3::KeptSlice(first, samplesPerFrame_, keepFrom_, kept_.end);
    if (slice.length == 0) return TStepResult::srIdle;  // the encoder's delay, or a seek's lead-in
    const int32_t bytesPerSample = pcmBytesPerFrame_ / samplesPerFrame_;
    pcmOffset_ = slice.offset * bytesPerSample;
    pendingPcm_ = slice.length * bytesPerSample;
    return TStepResult::srWorked;
}

uint32_t TMP3Player::QueueTheRest() {
    {
        std::scoped_lock out(outputLock_);
        soundOut_->SetWaitEvent(nullptr);
        soundOut_->Flush();
    }
    // No further step for this playback; a Play after a Stop signals the event again.
    decoderThread_->WakeEvent().ResetEvent();
    return stepSerial_.load();
}

void TMP3Player::AwaitPlayedOut(uint32_t serial) {
    // Without either lock: Stop, Position and the rest stay free while the last two seconds
    // play. A Stop meanwhile resets the output, whose buffers then all come back at once.
    soundOut_->WaitDone();
    std::scoped_lock lock(decoderLock_);
    if (playing_ && !stepFailed_ && stepSerial_.load() == serial) window_->Post(MPM_ENDOFDATA, serial);
}

void TMP3Player::SeekDecoding(int64_t sample) {
    pendingPcm_ = pcmOffset_ = 0;
    awaitingNext_ = drainRequested_ = false;
    if (samplesPerFrame_ <= 0) {  // no stream set up
        walk_.Rewind();
        return;
    }
    const int64_t target = kept_.begin + sample;
    const int64_t frame = target / samplesPerFrame_;
    // The two frames before the target are decoded too, so that the transform's overlap and
    // the synthesis window hold what they would after a play from the start; Layer III also
    // needs the frames whose main data their bit reservoir reaches into (up to 511 bytes).
    int64_t start = std::max<int64_t>(0, frame - 2);
    if (layer_ == 3) {
        const int32_t sideBytes = mp3::SideInfoEnd(header_);
        int64_t at = 0, before = 0;
        const bool exact = FrameOffset(start, at);
        for (int64_t reach = 511; reach > 0 && start > 0; --start) {
            if (exact && FrameOffset(start - 1, before))
                reach -= std::max<int64_t>(at - before - sideBytes, 1), at = before;
            else
                reach -= std::max<int64_t>(int64_t{bitRate_} * samplesPerFrame_ / 8 / sampleRate_ - sideBytes, 24);
        }
    }
    int64_t offset = 0;
    FrameOffset(start, offset);
    walk_.SeekTo(offset);
    nextSample_ = start * samplesPerFrame_;
    keepFrom_ = target;
}

bool TMP3Player::FrameOffset(int64_t frame, int64_t& offset) const {
    const int64_t dataLength = walk_.DataLength();
    if (index_ && index_->OffsetOfFrame(frame, offset)) {
        offset -= walk_.DataStart();
        return true;
    }
    // Until the index has got there: the Xing table of contents, or proportionally through
    // the data (exact for constant frame lengths); the walk then finds the next header.
    offset = 0;
    if (frame <= 0 || dataLength >= kUnknownLength) return frame <= 0;
    const int64_t ms = frame * samplesPerFrame_ * 1000 / sampleRate_;
    if (index_ && index_->TocOffset(ms, offset)) {
        offset = std::clamp<int64_t>(offset - walk_.DataStart(), 0, dataLength);
        return false;
    }
    const int64_t frames = vbrTotal_ > 0   ? vbrTotal_ / pcmBytesPerFrame_
                           : bitRate_ > 0 ? dataLength * 8 * sampleRate_ / (int64_t{bitRate_} * samplesPerFrame_)
                                          : 0;
    if (frames > 0) offset = std::min(dataLength, frame * dataLength / frames);
    return false;
}

int32_t TMP3Player::RunDecodeStepsForTest(int32_t steps,
                                          const std::function<void(const uint8_t*, int32_t)>& sink) {
    if (!IsOpen() || status_ != TMP3Status::mpsStopped) return 0;
    std::scoped_lock lock(decoderLock_);
    int32_t run = 0;
    for (; run < steps; ++run) {
        if (pendingPcm_ <= 0) {
            const TStepResult r = PrepareFrame();
            if (r == TStepResult::srEnd) break;
            if (r == TStepResult::srIdle) continue;
        }
        if (sink) sink(pcm_.get() + pcmOffset_, pendingPcm_);
        pendingPcm_ = 0;
    }
    // Back to the start, as after a stop.
    SeekDecoding(0);
    return run;
}

}  // namespace zentu
