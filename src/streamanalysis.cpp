#include "streamanalysis.h"

#include <algorithm>
#include <cstring>

#include "channelframes.h"
#include "frameacf.h"
#include "frameanalysis.h"
#include "workerpool.h"

namespace {

std::vector<double> model_centre_frequencies(const AcgParam& p) {
    const AcgModel model(p);
    std::vector<double> cfs(p.nchans);
    for (int c = 0; c < p.nchans; ++c) cfs[c] = model.centre_frequency(c);
    return cfs;
}

}  // namespace

struct StreamAnalysis::ThreadSpace {
    explicit ThreadSpace(const FrameAutocorrelation& acf, int nchans) : ws(acf), rows(nchans) {}
    FrameAutocorrelation::Workspace ws;
    FrameScratch scratch;
    std::vector<const double*> rows;
};

int StreamAnalysis::block_frames_for(int nchans, int nlags) {
    const std::size_t frameBytes = sizeof(double) * static_cast<std::size_t>(std::max(nchans, 1)) *
                                   static_cast<std::size_t>(std::max(nlags, 1));
    const std::size_t frames = kBlockBytes / frameBytes;
    return static_cast<int>(std::clamp<std::size_t>(frames, kMinBlockFrames, kMaxBlockFrames));
}

StreamAnalysis::StreamAnalysis(int srate, int threads, StageTimer* timer, const AcgParam& p)
    : geometry_(frame_geometry(srate, p.shift_ms, p.win_ms, 0)),
      lags_(lag_geometry(srate, geometry_.nlags)), cfs_(model_centre_frequencies(p)),
      timer_(threads == 1 ? timer : nullptr),
      blockFrames_(block_frames_for(p.nchans, geometry_.nlags)), results_(p.nchans, lags_) {
    const vec::Width width = vec::active_width();
    const int nchans = p.nchans;
    // The plans are made here, before any worker runs a transform.
    acf_ = std::make_unique<FrameAutocorrelation>(geometry_.window, geometry_.nlags, width);
    frames_ = std::make_unique<ChannelFrames>(cfs_.data(), nchans, srate, geometry_.shift,
                                              geometry_.window, blockFrames_, width);
    pool_ = std::make_unique<WorkerPool>(std::max(threads, 1));
    for (int t = 0; t < pool_->size(); ++t) {
        spaces_.push_back(std::make_unique<ThreadSpace>(*acf_, nchans));
        spaces_.back()->scratch.timer = timer_;
    }
    pending_.reserve(static_cast<std::size_t>(blockFrames_) * geometry_.shift);
    block_.resize(2 * static_cast<std::size_t>(nchans) * blockFrames_ * geometry_.nlags);
    reduced_.resize(blockFrames_);
}

StreamAnalysis::~StreamAnalysis() = default;

int StreamAnalysis::threads() const { return pool_->size(); }

void StreamAnalysis::keep_pitch_evidence() {
    results_.keep_pitch_evidence();
    for (ReducedFrame& r : reduced_) r.withAgreement = true;
}

void StreamAnalysis::push(const double* x, std::size_t n) {
    const std::size_t blockSamples = static_cast<std::size_t>(blockFrames_) * geometry_.shift;
    samples_ += static_cast<std::int64_t>(n);
    while (n > 0) {
        const std::size_t take = std::min(n, blockSamples - pending_.size());
        pending_.insert(pending_.end(), x, x + take);
        x += take;
        n -= take;
        if (pending_.size() == blockSamples) {
            analyse_block(blockFrames_, blockSamples);
            pending_.clear();
        }
    }
}

void StreamAnalysis::finish() {
    if (!pending_.empty()) {
        const std::size_t shift = static_cast<std::size_t>(geometry_.shift);
        const int frames = static_cast<int>((pending_.size() + shift - 1) / shift);
        analyse_block(frames, pending_.size());
        pending_.clear();
    }
    // The last block's frames.
    pool_->run(waiting_, [&](int j, int t) { analyse_frame_of_block(j, t); });
    keep_waiting_frames();
}

void StreamAnalysis::analyse_block(int frames, std::size_t real) {
    ChannelFrames& cf = *frames_;
    cf.start_block(pending_.data(), real, frames);
    // One task per block: each channel group's filtering followed by its
    // autocorrelations (while its filter output is in the cache), side by
    // side with the analyses of the previous block's frames, which read the
    // other half of the block buffer. The groups, the longest items, come
    // first.
    const int groups = cf.groups();
    pool_->run(groups + waiting_, [&](int item, int t) {
        if (item < groups) {
            mark(timer_, Stage::Filterbank);
            cf.filter_group(item);
            mark(timer_, Stage::Autocorrelation);
            for (int c = cf.first_channel(item); c < cf.first_channel(item + 1); ++c)
                autocorrelate_channel(c, t);
            mark(timer_, Stage::Idle);
        } else {
            analyse_frame_of_block(item - groups, t);
        }
    });
    keep_waiting_frames();
    waiting_ = frames;
    filled_ ^= 1;
}

void StreamAnalysis::keep_waiting_frames() {
    for (int j = 0; j < waiting_; ++j) results_.append(reduced_[j]);
    waiting_ = 0;
}

double* StreamAnalysis::block_rows(int half, int c, int j) {
    const std::size_t rows = static_cast<std::size_t>(frames_->channels()) * blockFrames_;
    return block_.data() + static_cast<std::size_t>(half) * rows * geometry_.nlags +
           (static_cast<std::size_t>(c) * blockFrames_ + j) * geometry_.nlags;
}

void StreamAnalysis::autocorrelate_channel(int c, int thread) {
    const int nlags = geometry_.nlags;
    FrameAutocorrelation::Workspace& ws = spaces_[thread]->ws;
    double* out = block_rows(filled_ ^ 1, c, 0);
    for (int j = 0; j < frames_->frames(); ++j, out += nlags)
        std::memcpy(out, acf_->analyse(frames_->frame(c, j), ws), sizeof(double) * nlags);
}

void StreamAnalysis::analyse_frame_of_block(int j, int thread) {
    ThreadSpace& space = *spaces_[thread];
    const int nchans = frames_->channels(), nlags = geometry_.nlags;
    for (int c = 0; c < nchans; ++c)
        space.rows[c] = block_rows(filled_, c, j);
    const FrameRows raw{space.rows.data(), nchans, nlags};
    const FrameAnalysis a = analyse_frame({raw, nullptr, cfs_.data()}, lags_, space.scratch);
    mark(timer_, Stage::Fragments);
    reduced_[j].reduce(raw, a, lags_.srate);
    mark(timer_, Stage::Idle);
}
