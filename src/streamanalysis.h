// The analysis of a signal as it streams in, in bounded memory: samples
// arrive in pieces of any size; every block of block_frames() frames is
// filtered (ChannelFrames, the filterbank's state carried), autocorrelated
// per channel and frame (FrameAutocorrelation) into a block buffer, each of
// its frames analysed (analyse_frame) and reduced to what the tracker and
// the fragments need (FrameResults); then the block's autocorrelogram is
// dropped. finish() pads the signal's end with zeros to whole frames, as
// AcgModel::compute does, so the frames are ceil(N / shift) for N samples
// without N being known in advance; the results are byte for byte those of
// AcgModel and CASAGrouping over the whole signal.
//
// The work runs on a WorkerPool of the given number of threads, one task
// per block: each channel group's filtering followed by its channels'
// autocorrelations (one item per group, so the filter output is still in
// the cache), side by side with the analyses of the previous block's frames
// (one item per frame), so that the threads meet once per block. Each
// thread has its own work space; the FFT plans are made once, on the
// constructing thread, and shared. Results are the same for every number
// of threads.
//
//     StreamAnalysis stream(16000, /*threads=*/2);
//     while (read(block)) stream.push(block.data(), block.size());
//     stream.finish();
//     RuleTracker tracker;
//     stream.results().track(tracker);
//     stream.results().write_mask("utt.mask");   // and the other writers
//
// Memory: the block buffers (two blocks of about kBlockBytes each, and the
// channels' filter output) and the results, about 330 bytes per frame.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "acgmodel.h"
#include "frameresults.h"
#include "stagetimer.h"

class ChannelFrames;
class FrameAutocorrelation;
class WorkerPool;
struct FrameScratch;

class StreamAnalysis {
public:
    // Frames filtered, autocorrelated and analysed together: as many as
    // keep a block's autocorrelogram near kBlockBytes, from kMinBlockFrames
    // to kMaxBlockFrames (64 at 16 kHz, 22 at 48 kHz for 32 channels).
    static constexpr std::size_t kBlockBytes = 4 << 20;
    static constexpr int kMinBlockFrames = 8;
    static constexpr int kMaxBlockFrames = 64;
    static int block_frames_for(int nchans, int nlags);
    int block_frames() const { return blockFrames_; }

    // A signal at srate Hz (4000 to 192000) under the model's parameters p
    // (window not shorter than the shift), analysed on threads >= 1
    // threads. A timer, if given, hears where each stage begins; it is
    // called only when threads is 1.
    explicit StreamAnalysis(int srate, int threads = 1, StageTimer* timer = nullptr,
                            const AcgParam& p = kDefaultAcgParam);
    ~StreamAnalysis();
    StreamAnalysis(const StreamAnalysis&) = delete;
    StreamAnalysis& operator=(const StreamAnalysis&) = delete;

    // Keeps every frame's agreements with its candidates in the results
    // (FrameResults::pitch_evidence), for the voices labelled by pitch.
    // Call before the first push.
    void keep_pitch_evidence();

    // Analyses the next n samples (as far as they complete blocks).
    void push(const double* x, std::size_t n);
    // Ends the signal: the samples that do not fill a block yet, padded with
    // zeros to whole frames, are analysed. Call once, after the last push.
    void finish();

    std::int64_t samples() const { return samples_; }
    // Frames whose results are kept so far (all of them after finish()).
    int frames() const { return results_.frames(); }
    int threads() const;
    const FrameGeometry& geometry() const { return geometry_; }
    const std::vector<double>& centre_frequencies() const { return cfs_; }

    FrameResults& results() { return results_; }
    const FrameResults& results() const { return results_; }

private:
    void analyse_block(int frames, std::size_t real);
    void autocorrelate_channel(int c, int thread);
    void analyse_frame_of_block(int j, int thread);
    // Appends the reductions of the waiting frames to the results.
    void keep_waiting_frames();
    // Row of channel c, frame j in half of the block buffer.
    double* block_rows(int half, int c, int j);

    FrameGeometry geometry_;
    LagGeometry lags_;
    std::vector<double> cfs_;
    StageTimer* timer_;
    std::unique_ptr<WorkerPool> pool_;
    std::unique_ptr<ChannelFrames> frames_;
    std::unique_ptr<FrameAutocorrelation> acf_;
    // Per thread: transform arrays, frame scratch, row pointers.
    struct ThreadSpace;
    std::vector<std::unique_ptr<ThreadSpace>> spaces_;
    std::vector<double> pending_;  // samples of the block being filled
    // The autocorrelograms of two blocks, channel, frame, lag: the one
    // being filled and the one whose frames are analysed meanwhile.
    std::vector<double> block_;
    int blockFrames_;
    int filled_ = 0;    // the half that holds the waiting frames
    int waiting_ = 0;   // frames autocorrelated, not yet analysed
    std::vector<ReducedFrame> reduced_;
    FrameResults results_;
    std::int64_t samples_ = 0;
};
