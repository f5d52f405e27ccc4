// The dendrite search of corlune's grouping: for each channel of a voiced
// frame, the lag of its largest Gabor energy (its "dendrite"). An inner
// channel's energy at lag tau sums its own and its two neighbours' rows on
// each side, each under the kernel of the mirrored channel:
//
//     re(tau) = sum over i = 0..4 of ( sum over n = 30..1 of
//               (D[tau + n] + D[tau - n]) x Kr[30 - n] ) + D[tau]
//     im(tau) = sum over i = 0..4, n = 30..1 of (D[tau + n] - D[tau - n]) x Ki[30 - n]
//     energy  = re x re + im x im,  D = row c + 2 - i, Kr, Ki = kernels of c - 2 + i,
//
// in double precision and in this order (lags outside the row count as 0.0),
// and the dendrite is the first lag of minLag .. maxLag - 2 with the strictly
// largest energy (minLag when none is positive). The two channels at each
// edge take the largest value of their own row over minLag .. maxLag - 1.
// find() gives exactly those lags, fast (see dendrites.cpp); exact_scan() is
// the straightforward computation it is checked against.
//
//     DendriteSearch search;                      // one per thread
//     std::vector<int> dendrites(nchans);
//     search.find(normalised, kernels, minLag, maxLag, vec::active_width(), dendrites.data());
#pragma once

#include <memory>

#include "framerows.h"
#include "gabor.h"
#include "vectors.h"

class DendriteSearch {
public:
    DendriteSearch();
    ~DendriteSearch();
    DendriteSearch(const DendriteSearch&) = delete;
    DendriteSearch& operator=(const DendriteSearch&) = delete;

    // dendrites[c] for every channel c of the frame's normalised rows, with
    // the kernels of every channel, in vectors of at most width.
    void find(const FrameRows& rows, const GaborKernels& kernels, int minLag, int maxLag,
              vec::Width width, int* dendrites);

    // The dendrite of inner channel c (2 <= c <= nchans - 3) from the
    // straightforward sums at every lag of the range.
    int exact_scan(const FrameRows& rows, const GaborKernels& kernels, int c, int minLag,
                   int maxLag);

    struct Buffers;

private:
    std::unique_ptr<Buffers> buffers_;
};
