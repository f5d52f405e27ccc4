// CASA grouping of corlune: turns the autocorrelogram of an AcgModel into
// per-frame channel groups and F0 candidates, hands the candidates to a
// PitchTracker, forms the fragments and the soft mask, and writes the
// result files.
//
// Usage: construct over a computed model and a tracker (both must outlive the
// grouping), call generate_fragments() once, then any of the writers. Every
// result matrix is sized at construction and never resized.
#pragma once

#include <memory>
#include <vector>

#include "acgmodel.h"
#include "geometry.h"
#include "matrix.h"
#include "ruletracker.h"

// Work buffers that the grouping reuses from frame to frame (casagrouping.cpp).
struct GroupingScratch;

// Channel-group labels; 0 means no group.
enum SPINE_GROUPS { SPINE_1 = 1, SPINE_2 = 2 };

class CASAGrouping {
public:
    using Matrix = ::Matrix;
    using IntMatrix = ::IntMatrix;

    const AcgModel& model;
    PitchTracker& tracker;
    const Matrix* weights = nullptr;  // optional [frame][channel] weights
    int currFrame = 0;
    int peakLag = 0;  // highest summary peak of the current frame, -1 for none
    IntMatrix frmSegments;   // nframes x nchans group labels 0, 1, 2
    Matrix f0Candidates;     // nframes x 4 F0 candidates (Hz)
    IntMatrix f0Labels;      // nframes x 2 track identifiers
    Matrix f0Tracks;         // nframes x 2 track F0s (Hz)
    IntMatrix fragments;     // nframes x nchans fragment labels
    Matrix mask;             // nframes x nchans mask values
    std::vector<double> sumAcg;  // nlags: a summary autocorrelation
    Matrix currAcg;          // nchans x nlags: normalised current frame
    Matrix gaborReal;        // nchans x 30: cosine half of each Gabor kernel
    Matrix gaborImag;        // nchans x 30: sine half of each Gabor kernel
    int minLag;              // first lag of the periodicity search range
    int maxLag;              // end (exclusive) of the periodicity search range

    CASAGrouping(const AcgModel& model, PitchTracker& tracker);
    ~CASAGrouping();

    // Whole grouping of the utterance; x is null or a [frame][channel]
    // weight matrix with at least nframes rows of nchans values.
    void generate_fragments(const Matrix* x);

    // Frame loop and per-frame pipeline.
    void spectral_integrate();
    void group_channels();

    // Frame tests and primitives.
    bool is_silent();
    bool is_unvoiced();
    void normalise_current_acg();
    void sum_acg();
    static int pick_peaks(const double* data, int n, int width, int start, int* peaks,
                          int maxPeaks);
    static double find_max(const double* p, int from, int to, int& idx);
    static double find_max(const double* p, int from, int to);
    void rangeInHz(int lag, double tolHz, int& lo, int& hi) const;
    double calc_distHz(int a, int b) const;

    // Gabor dendrites and spines.
    // The grouping's vector loops use the widest vectors the process allows
    // (vec::active_width, vectors.h); false keeps this grouping's to SSE2.
    // Results are the same either way; the switch serves tests and
    // measurements.
    void allow_wide_vectors(bool allow);
    void updateGabor();
    int gabor_conv2(int c);
    void extract_dendrites(std::vector<int>& dendrites);
    bool locate_dendrites(const std::vector<int>& dendrites, std::vector<int>& spines,
                          int& spineCount);

    // Spine adjustment and channel assignment.
    void sum_acg(const std::vector<int>& channelGroups, SPINE_GROUPS group);
    void adjust_spines(const std::vector<int>& dendrites, std::vector<int>& channelGroups,
                       bool& fallback, std::vector<int>& spines, int& spineCount);
    void assign_channels(const std::vector<int>& spines, int spineCount,
                         std::vector<int>& channelGroups);

    // Frame segments and F0 candidates.
    void sum_acg(SPINE_GROUPS group);
    void update_FrmSeg_F0Cand(const std::vector<int>& channelGroups);

    // Fragments and mask.
    void form_fragments();

    // True when a fragment label lies outside the int16 range of ".groups".
    bool fragment_labels_wrap() const;

    // Result writers: headerless row-major int16 or float32 matrices. Each
    // returns false, after one line on standard error naming the path, when
    // the file cannot be opened, written or closed.
    bool write_frmSegments(const char* filename) const;
    bool write_f0Candidates(const char* filename) const;
    bool write_f0Tracks(const char* filename) const;
    bool write_fragments(const char* filename) const;
    bool write_mask(const char* filename) const;
    bool write_f0Labels(const char* filename) const;

private:
    // Reused work buffers and caches of the frame loop. They hold nothing a
    // result depends on beyond the call that fills them, so copies of the
    // grouping may share them.
    std::shared_ptr<GroupingScratch> scratch_;

    // The lags of the periodicity search: the sample rate, nlags, minLag, maxLag.
    LagGeometry lags() const { return {model.srate, model.nlags, minLag, maxLag}; }

    // rangeInHz(lag, 1.0) for the lags base .. base + count - 1, from a table
    // made once for the grouping's sample rate and search range.
    struct OneHzRanges {
        const int* lo;
        const int* hi;
    };
    OneHzRanges one_hz_ranges(int base, int count);

    // Weight of channel c in the current frame (1.0 without weights); throws
    // std::out_of_range when the frame's row is missing or too short.
    double weight(int c) const;

    // Spine merging and the channel-label decision of assign_channels.
    void merge_spines(std::vector<int>& spines, int& spineCount) const;
    int toward_larger_neighbour(const std::vector<double>& r, int lag, double rangeMax,
                                int& idx) const;
    int decide_label(const std::vector<double>& r, double tol, double e1, double e2,
                     double max1, double max2, int l, int j, int s2, bool twoSpines) const;

    // F0 candidates of the two groups and their cross-check; true when the
    // groups carry the same F0 and are merged.
    void group1_candidate(std::vector<double>& cand);
    void group2_candidates(std::vector<double>& cand);
    bool cross_check_candidates(std::vector<double>& cand) const;

    // A track claims a channel group of one frame.
    void claim_group(int frame, SPINE_GROUPS group, double t, int label);
    void claim_group_at_floor(int frame, int label);
    double mask_value(double t, int bestLag) const;
};
