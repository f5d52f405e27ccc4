// The filtered channels of a signal, a block of frames at a time: the
// gammatone filterbank (gammatone.h) runs over each block's samples with
// its state carried from block to block, into a buffer per channel that
// holds the W - S samples of overlap with the previous block (zeros before
// the signal starts) followed by the block's new samples. Frame j of a
// block is then the W samples from j x S on in each channel's buffer: frame
// f of the signal covers the filter output from (f + 1) x S - W to
// (f + 1) x S, zeros taking the place of the samples before the signal's
// start and after its end.
//
// The channels are filtered in groups (one Filterbank each, as many
// channels as its vectors hold side by side); distinct groups may be
// filtered at the same time on different threads.
//
//     ChannelFrames frames(cfs.data(), 32, 16000, shift, window, 32);
//     frames.start_block(x, n, nframes);   // n <= nframes x shift samples; the rest zeros
//     for (int g = 0; g < frames.groups(); ++g) frames.filter_group(g);
//     const double* w = frames.frame(c, j);  // window samples of channel c, frame j
#pragma once

#include <algorithm>
#include <cstddef>
#include <memory>
#include <vector>

#include "gammatone.h"
#include "vectors.h"

class ChannelFrames {
public:
    // nchans >= 1 channels at centre frequencies cfs[0 .. nchans - 1] Hz,
    // frames of window >= shift >= 1 samples every shift samples, blocks of
    // at most blockFrames >= 1 frames, filters in vectors of at most width.
    ChannelFrames(const double* cfs, int nchans, int srate, int shift, int window, int blockFrames,
                  vec::Width width = vec::active_width());
    ~ChannelFrames();
    ChannelFrames(const ChannelFrames&) = delete;
    ChannelFrames& operator=(const ChannelFrames&) = delete;

    int channels() const { return nchans_; }
    int groups() const { return static_cast<int>(banks_.size()); }
    // The channels of group g: first_channel(g) .. first_channel(g + 1) - 1.
    int first_channel(int g) const { return std::min(g * lanes_, nchans_); }
    int block_frames() const { return blockFrames_; }
    // Frames of the current block.
    int frames() const { return frames_; }

    // Begins the next block of frames (1 .. block_frames()) frames: x holds
    // its first n <= frames x shift samples, and zeros pad it to the end.
    // x must stay valid until every group was filtered.
    void start_block(const double* x, std::size_t n, int frames);

    // Filters the current block through group g's channels. Each group must
    // be filtered once per block before its frames are read.
    void filter_group(int g);

    // The window samples of frame j (< frames()) of channel c in the current
    // block, valid until the next block starts.
    const double* frame(int c, int j) const {
        return buffer_.data() + static_cast<std::size_t>(c) * capacity_ +
               static_cast<std::size_t>(j) * static_cast<std::size_t>(shift_);
    }

private:
    int nchans_;
    int shift_;
    int lead_;  // window - shift: samples of overlap with the previous block
    int blockFrames_;
    int lanes_;  // channels per group
    std::size_t capacity_;  // samples per channel buffer: lead + blockFrames x shift
    std::vector<std::unique_ptr<Filterbank>> banks_;
    std::vector<double> buffer_;  // nchans x capacity
    std::vector<double> zeros_;   // padding input, shift samples
    const double* x_ = nullptr;
    std::size_t n_ = 0;
    int frames_ = 0;
    std::vector<int> keptFrames_;  // per group: frames of the block its buffers hold
};
