// The decoder thread's work: one frame per step of the stream decoded (its kept PCM, at the
// file's gain, which the decoder applies; see player/mp3_stream.h) into the wave output; and at the end of the data either the next
// file's stream carried on into the same output or the drain.
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
        TMP3Stream& stream = Decoded();
        if (stream.PendingBytes() <= 0) {
            const TStepResult result = end_ == TEnd::enDecoding ? PrepareFrame() : TStepResult::srEnd;
            if (result == TStepResult::srIdle) return;
            if (result == TStepResult::srEnd && (draining = AtEndOfData()) == 0) return;
        }
        if (draining == 0) {
            Assert(stream.PendingBytes() >= 1, "MP3Plyr: no PCM to write");
            std::scoped_lock out(outputLock_);
            if (soundOut_->CanWrite()) {
                const int32_t written = soundOut_->Write(stream.Pending(), stream.PendingBytes());
                stream.Consume(written);
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
            if (!playing_ || !Decoded().ReadAhead()) break;
        }
        std::scoped_lock out(outputLock_);
        freePercent = soundOut_->FreePercent();
    }
    if (freePercent <= 25) std::this_thread::yield();
}

TMP3Player::TStepResult TMP3Player::PrepareFrame() {
    switch (Decoded().Step(decoder_)) {
        case TMP3Stream::TStep::stPcm: return TStepResult::srWorked;
        case TMP3Stream::TStep::stNone: return TStepResult::srIdle;
        case TMP3Stream::TStep::stEnd: break;
    }
    return TStepResult::srEnd;
}

uint32_t TMP3Player::AtEndOfData() {
    TMPSimpleEvent& wake = decoderThread_->WakeEvent();
    switch (end_) {
        case TEnd::enAsking:
            wake.ResetEvent();  // the main thread answers with a file or a drain
            return 0;
        case TEnd::enDrain:
            end_ = TEnd::enDecoding;
            return QueueTheRest();
        case TEnd::enDecoding: break;
    }
    if (!carryOn_) return QueueTheRest();
    // The output keeps playing what it holds meanwhile, the partly filled buffer too: the
    // next file's samples follow it in the device, and a short file's end must be heard for
    // it to start.
    end_ = TEnd::enAsking;
    {
        std::scoped_lock out(outputLock_);
        soundOut_->SetWaitEvent(nullptr);
        soundOut_->Flush();
    }
    wake.ResetEvent();
    window_->Post(MPM_NEXTFILE, stepSerial_.load());
    return 0;
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
    end_ = TEnd::enDecoding;
    Decoded().SeekTo(sample);
    streams_.back().mark = 0;  // the output starts again with it
}

int32_t TMP3Player::RunDecodeStepsForTest(int32_t steps,
                                          const std::function<void(const uint8_t*, int32_t)>& sink) {
    if (!IsOpen() || status_ != TMP3Status::mpsStopped) return 0;
    std::scoped_lock lock(decoderLock_);
    int32_t run = 0;
    for (; run < steps; ++run) {
        TMP3Stream& stream = Decoded();
        if (stream.PendingBytes() <= 0) {
            const TStepResult r = PrepareFrame();
            if (r == TStepResult::srEnd) break;
            if (r == TStepResult::srIdle) continue;
        }
        if (sink) sink(stream.Pending(), stream.PendingBytes());
        stream.Consume(stream.PendingBytes());
    }
    // Back to the start, as after a stop.
    SeekDecoding(0);
    return run;
}

}  // namespace zentu
