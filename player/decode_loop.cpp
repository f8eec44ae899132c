// The decoder thread's work: one frame per step, from the reader through the decoder into
// the wave output, and the drain at the end of the data.
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
            switch (PrepareFrame()) {
                case TStepResult::srIdle: return;
                case TStepResult::srEnd: draining = QueueTheRest(); break;
                case TStepResult::srWorked: break;
            }
        }
        if (draining == 0) {
            Assert(pendingPcm_ >= 1, "MP3Plyr: no PCM to write");
            std::scoped_lock out(outputLock_);
            if (soundOut_->CanWrite()) {
                const int32_t written = soundOut_->Write(pcm_.get(), pendingPcm_);
                pendingPcm_ -= written;
                if (pendingPcm_ > 0 && written > 0)
                    std::memmove(pcm_.get(), pcm_.get() + written, static_cast<size_t>(pendingPcm_));
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
    switch (walk_.Frame(decoder_)) {
        case TFrameWalk::TStep::stEnd: return TStepResult::srEnd;
        case TFrameWalk::TStep::stSkipped: return TStepResult::srIdle;
        case TFrameWalk::TStep::stFrame: break;
    }
    const DecodeResult result = decoder_.DecodeFrame(reader_.Current(), walk_.PendingLength(), pcm_.get());
    walk_.Next();
    pendingPcm_ = pcmBytesPerFrame_;
    // A frame that cannot be decoded plays as one frame of silence.
    if (result.consumed < 1) std::memset(pcm_.get(), 0, static_cast<size_t>(pcmBytesPerFrame_));
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
        if (sink) sink(pcm_.get(), pendingPcm_);
        pendingPcm_ = 0;
    }
    // Back to the start, as after a stop.
    pendingPcm_ = 0;
    walk_.Rewind();
    return run;
}

}  // namespace zentu
