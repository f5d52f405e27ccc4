// The voices of a run that streams its recording (corlune --separate): the
// samples, kept as they stream in, and, once the tracker has run over the
// whole recording, each unit's voice (NAME.voices) and the two voices and
// the rest resynthesised from their masks (three WAV files).
//
// The masks are known only after the last frame, so the samples are kept:
// as float32, 4 bytes a sample (115 MB for 10 minutes at 48 kHz), which
// holds 8- to 24-bit PCM and float recordings exactly and rounds 32-bit
// PCM and double samples to 24 bits, the precision of the float32 output.
// Keeping them serves pipes as well as files and reads the input once.
//
//   VoiceFiles voices(16000);
//   voices.keep(x.data(), x.size());          // as samples stream in
//   ...                                       // stream.finish(); results.track(tracker)
//   voices.group(results);                    // the tracks' voices (voices.h)
//   voices.write_labels("utt.voices");
//   std::size_t failed;
//   voices.write_signals({"utt.voice1.wav", "utt.voice2.wav", "utt.rest.wav"}, failed);
//
// The writers print one line on standard error naming the file when it
// cannot be written, as the other result writers do.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "voices.h"

class FrameResults;

class VoiceFiles {
public:
    // Memory a kept sample takes.
    static constexpr std::size_t kBytesPerSample = sizeof(float);
    // The signals of write_signals, in order: voice 1 (the lower), voice 2,
    // and the rest (what neither voice's mask takes, voice 0).
    static constexpr int kSignals = 3;
    static constexpr int kSignalVoice[kSignals] = {1, 2, 0};

    // byPitch: the units labelled by the voices' pitches (pitchlabels.h;
    // the results must keep their pitch evidence), else by fragment.
    explicit VoiceFiles(int srate, bool byPitch = false);

    // Keeps the next n samples of the recording.
    void keep(const double* x, std::size_t n);
    std::int64_t samples() const { return static_cast<std::int64_t>(samples_.size()); }

    // Groups the tracks of results (tracked, and kept alive until the
    // writers are done) into two voices.
    void group(const FrameResults& results);
    const VoiceGrouping& grouping() const { return grouping_; }

    // Each unit's voice, 0, 1 or 2, as an int16 matrix of frames x channels.
    bool write_labels(const char* path) const;
    // The kSignals resynthesised signals as mono float32 WAV files at the
    // recording's rate, one per path; on failure, failed is the position of
    // the path that failed.
    bool write_signals(const std::vector<const char*>& paths, std::size_t& failed) const;

    // Each unit's voice into out (frames x channels, row-major), and the
    // kSignals signals into out[k] (samples() values each, rounded to
    // float32 as the WAV files hold them): the files' content in memory.
    // False, with error set, when the resynthesis refused the masks.
    void copy_labels(std::int16_t* out) const;
    bool copy_signals(float* const out[kSignals], std::string& error) const;

private:
    // Runs the resynthesis of the kSignals signals; sink(blocks) receives
    // each signal's samples completed since its last call (blocks[k]) and
    // clears them, returning false to stop. False with error set when the
    // resynthesis refused.
    using Sink = std::function<bool(std::vector<double>* const* blocks)>;
    bool resynthesize(const Sink& sink, std::string& error) const;

    int srate_;
    bool byPitch_;
    std::deque<float> samples_;
    const FrameResults* results_ = nullptr;
    VoiceGrouping grouping_;
};
