#include "voicefiles.h"

#include <algorithm>
#include <cerrno>
#include <iostream>
#include <memory>

#include "audiooutput.h"
#include "frameresults.h"
#include "matrixfile.h"
#include "pitchlabels.h"
#include "resynth.h"

namespace {

// The WAV files of write_signals, opened together and written block by block.
class SignalFiles {
public:
    SignalFiles(const std::vector<const char*>& paths, int srate, std::size_t& failed)
        : failed_(failed), out_(paths.size()) {
        for (std::size_t k = 0; k < paths.size() && ok_; ++k) check(k, out_[k].open(paths[k], srate));
    }

    bool ok() const { return ok_; }

    // Writes each signal's samples of blocks and clears them.
    void flush(std::vector<double>* const* blocks) {
        for (std::size_t k = 0; k < out_.size() && ok_; ++k) {
            check(k, out_[k].write(blocks[k]->data(), blocks[k]->size()));
            blocks[k]->clear();
        }
    }
    void close() {
        for (std::size_t k = 0; k < out_.size() && ok_; ++k) check(k, out_[k].close());
    }
    // Fails the files at signal k with a message of its own.
    void refuse(std::size_t k, const std::string& why, int err) {
        std::cerr << why << std::endl;
        failed_ = k;
        ok_ = false;
        errno = err;
    }

private:
    void check(std::size_t k, bool done) {
        if (done) return;
        const int err = errno;
        refuse(k, out_[k].error(), err);
    }

    std::size_t& failed_;
    std::vector<AudioOutput> out_;
    bool ok_ = true;
};

// Each frame's unit voices and the mask values they carry: the fragments'
// voices with the soft mask, or the voices by pitch with ones.
class UnitVoices {
public:
    UnitVoices(const FrameResults& results, const VoiceGrouping& grouping, bool byPitch)
        : results_(results),
          table_(grouping),
          fragmentVoices_(results.channels()),
          ones_(results.channels(), 1.0) {
        if (byPitch && results.pitch_evidence())
            labeller_ = std::make_unique<PitchLabeller>(*results.pitch_evidence(), grouping);
    }

    // The voices of frame f's units (fragments frag, mask values mask) into
    // voices; returns the mask values they carry.
    const double* label(int f, const int* frag, const double* mask, int* voices) {
        const int n = results_.channels();
        if (!labeller_) {
            table_.label_row(frag, n, voices);
            return mask;
        }
        table_.label_row(frag, n, fragmentVoices_.data());
        labeller_->label_row(f, results_.f0_labels()[f].data(), results_.f0_tracks()[f].data(),
                             fragmentVoices_.data(), voices);
        return ones_.data();
    }

private:
    const FrameResults& results_;
    const VoiceTable table_;
    std::unique_ptr<PitchLabeller> labeller_;
    std::vector<int> fragmentVoices_;
    std::vector<double> ones_;
};

}  // namespace

VoiceFiles::VoiceFiles(int srate, bool byPitch) : srate_(srate), byPitch_(byPitch) {}

void VoiceFiles::keep(const double* x, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) samples_.push_back(static_cast<float>(x[i]));
}

void VoiceFiles::group(const FrameResults& results) {
    results_ = &results;
    grouping_ = group_voices(results.f0_labels(), results.f0_tracks(), results.frames());
}

bool VoiceFiles::write_labels(const char* path) const {
    const int nchans = results_->channels();
    UnitVoices units(*results_, grouping_, byPitch_);
    std::vector<int> voices(nchans);
    MatrixFile out(path);
    results_->form_fragments([&](int f, const int* frag, const double* mask) {
        units.label(f, frag, mask, voices.data());
        out.put_int16(voices.data(), voices.size());
    });
    return out.close();
}

// Samples and frames go into the resynthesis in the order resynthesize()
// feeds them: a block of samples, then the frames that start within what
// has arrived, so the bank holds little more than a block.
bool VoiceFiles::resynthesize(const Sink& sink, std::string& error) const {
    const int nchans = results_->channels();
    Resynthesizer rs(plan_resynthesis(srate_), kSignals);
    const std::size_t step = rs.plan().block, shift = rs.plan().shift, total = samples_.size();
    std::vector<double> piece;
    std::size_t fed = 0;
    const auto feed_beyond = [&](std::size_t t) {  // until sample t has arrived
        while (fed <= t && fed < total) {
            const std::size_t n = std::min(step, total - fed);
            piece.assign(samples_.begin() + fed, samples_.begin() + fed + n);
            rs.add_samples(piece.data(), n);
            fed += n;
        }
    };
    UnitVoices units(*results_, grouping_, byPitch_);
    std::vector<int> voices(nchans);
    std::vector<std::vector<double>> rows(kSignals, std::vector<double>(nchans));
    const double* rowPointers[kSignals] = {rows[0].data(), rows[1].data(), rows[2].data()};
    std::vector<std::vector<double>> blocks(kSignals);
    std::vector<double>* blockPointers[kSignals] = {&blocks[0], &blocks[1], &blocks[2]};
    bool going = true;
    results_->form_fragments([&](int f, const int* frag, const double* mask) {
        if (!going) return;
        feed_beyond(static_cast<std::size_t>(f) * shift);
        const double* values = units.label(f, frag, mask, voices.data());
        for (int k = 0; k < kSignals; ++k)
            voice_mask_row(voices.data(), values, nchans, kSignalVoice[k], rows[k].data());
        if (!rs.add_frame(rowPointers)) {
            error = rs.error();
            going = false;
            return;
        }
        rs.take(blockPointers);
        going = sink(blockPointers);
    });
    if (!going) return false;
    feed_beyond(total);
    if (!rs.finish()) {
        error = rs.error();
        return false;
    }
    rs.take(blockPointers);
    return sink(blockPointers);
}

bool VoiceFiles::write_signals(const std::vector<const char*>& paths, std::size_t& failed) const {
    SignalFiles files(paths, srate_, failed);
    if (!files.ok()) return false;
    std::string error;
    const bool done = resynthesize(
        [&](std::vector<double>* const* blocks) {
            files.flush(blocks);
            return files.ok();
        },
        error);
    if (!done && !error.empty()) files.refuse(0, error, EDOM);
    if (!files.ok()) return false;
    files.close();
    return files.ok();
}

void VoiceFiles::copy_labels(std::int16_t* out) const {
    const int nchans = results_->channels();
    UnitVoices units(*results_, grouping_, byPitch_);
    std::vector<int> voices(nchans);
    results_->form_fragments([&](int f, const int* frag, const double* mask) {
        units.label(f, frag, mask, voices.data());
        for (int c = 0; c < nchans; ++c)
            out[static_cast<std::size_t>(f) * nchans + c] = static_cast<std::int16_t>(voices[c]);
    });
}

bool VoiceFiles::copy_signals(float* const out[kSignals], std::string& error) const {
    std::size_t at[kSignals] = {0, 0, 0};
    return resynthesize(
        [&](std::vector<double>* const* blocks) {
            for (int k = 0; k < kSignals; ++k) {
                for (const double v : *blocks[k]) out[k][at[k]++] = static_cast<float>(v);
                blocks[k]->clear();
            }
            return true;
        },
        error);
}
