// A read-only view of one frame of an autocorrelogram, as the grouping's
// per-frame stages read it: nchans rows of nlags values, one row pointer per
// channel. Row pointers let any storage supply a frame: the whole model's
// per-channel rows (frame f of channel c starts at acg[c][f * nlags]), a
// matrix of normalised rows, or a buffer of a few frames.
//
//     std::vector<const double*> rows(nchans);
//     model_frame_rows(model.acg, nchans, f, model.nlags, rows.data());
//     const FrameRows raw{rows.data(), nchans, model.nlags};
//     double lag0 = raw.rows[c][0];
#pragma once

#include <cstddef>
#include <vector>

struct FrameRows {
    const double* const* rows;  // rows[c]: channel c's nlags values
    int nchans;
    int nlags;
};

// Row pointers of frame f of the first nchans rows of a model whose row c
// holds channel c's frames one after the other, nlags values each.
inline void model_frame_rows(const std::vector<std::vector<double>>& acg, int nchans, int f,
                             int nlags, const double** out) {
    const size_t at = static_cast<size_t>(f) * static_cast<size_t>(nlags);
    for (int c = 0; c < nchans; ++c) out[c] = acg[static_cast<size_t>(c)].data() + at;
}
