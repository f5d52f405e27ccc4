#include "channelframes.h"

#include <algorithm>
#include <cstring>

ChannelFrames::ChannelFrames(const double* cfs, int nchans, int srate, int shift, int window,
                             int blockFrames, vec::Width width)
    : nchans_(nchans), shift_(shift), lead_(window - shift), blockFrames_(blockFrames),
      lanes_(Filterbank::lanes(width)),
      capacity_(static_cast<std::size_t>(window - shift) +
                static_cast<std::size_t>(blockFrames) * static_cast<std::size_t>(shift)),
      buffer_(static_cast<std::size_t>(nchans) * capacity_, 0.0),
      zeros_(static_cast<std::size_t>(shift), 0.0) {
    for (int c0 = 0; c0 < nchans; c0 += lanes_)
        banks_.push_back(
            std::make_unique<Filterbank>(cfs + c0, std::min(lanes_, nchans - c0), srate, width));
    keptFrames_.assign(banks_.size(), 0);
}

ChannelFrames::~ChannelFrames() = default;

void ChannelFrames::start_block(const double* x, std::size_t n, int frames) {
    x_ = x;
    n_ = n;
    frames_ = frames;
}

void ChannelFrames::filter_group(int g) {
    const int c0 = g * lanes_;
    const int count = banks_[static_cast<std::size_t>(g)]->channels();
    double* out[Filterbank::kMaxLanes];
    // The last W - S samples of the previous block become this block's lead.
    const std::size_t kept = static_cast<std::size_t>(keptFrames_[g]) * shift_;
    for (int lane = 0; lane < count; ++lane) {
        double* buf = buffer_.data() + static_cast<std::size_t>(c0 + lane) * capacity_;
        if (kept > 0) std::memmove(buf, buf + kept, sizeof(double) * lead_);
        out[lane] = buf + lead_;
    }
    Filterbank& bank = *banks_[static_cast<std::size_t>(g)];
    if (n_ > 0) bank.filter(x_, n_, out);
    // The zeros that pad the signal's end pass through the filters too.
    std::size_t pad = static_cast<std::size_t>(frames_) * shift_ - n_;
    for (int lane = 0; lane < count; ++lane) out[lane] += n_;
    while (pad > 0) {
        const std::size_t m = std::min(pad, zeros_.size());
        bank.filter(zeros_.data(), m, out);
        for (int lane = 0; lane < count; ++lane) out[lane] += m;
        pad -= m;
    }
    keptFrames_[g] = frames_;
}
