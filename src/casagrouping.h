// CASA grouping of corlune over a whole utterance: turns the autocorrelogram
// of an AcgModel into per-frame channel groups and F0 candidates, hands the
// candidates to a PitchTracker, forms the fragments and the soft mask, and
// writes the result files. It holds the result tables of every frame and is
// built on the per-frame stages (frameanalysis.h and the files it includes;
// fragments.h for the claims; matrixfile.h for the files).
//
//     AcgModel model;
//     model.compute(samples, srate);
//     RuleTracker tracker;
//     CASAGrouping grouping(model, tracker);   // model and tracker must outlive it
//     grouping.generate_fragments(nullptr);    // or a [frame][channel] weight matrix
//     grouping.write_mask("utt.mask");         // and the other writers
//
// Every result matrix is sized at construction and never resized.
//
// Beside generate_fragments, the class keeps a step-by-step interface on
// the current frame (currFrame): the frame tests, normalisation, kernels,
// dendrites, spines, assignment and candidates, each reading and writing the
// members sumAcg, currAcg, peakLag, gaborReal and gaborImag as documented
// below. generate_fragments does not go through those members: it analyses
// each frame as a value (analyse_frame) and leaves them as they were.
#pragma once

#include <memory>
#include <vector>

#include "acgmodel.h"
#include "frametests.h"
#include "geometry.h"
#include "matrix.h"
#include "ruletracker.h"
#include "stagetimer.h"

struct FrameScratch;

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
    Matrix gaborReal;        // nchans x kGaborHalf: cosine half of each Gabor kernel
    Matrix gaborImag;        // nchans x kGaborHalf: sine half of each Gabor kernel
    int minLag;              // first lag of the periodicity search range
    int maxLag;              // end (exclusive) of the periodicity search range

    CASAGrouping(const AcgModel& model, PitchTracker& tracker);
    ~CASAGrouping();

    // Whole grouping of the utterance: every frame's analysis, the tracker,
    // the fragments. channelWeights is null or a [frame][channel] weight
    // matrix with at least nframes rows of nchans values (stored in weights).
    void generate_fragments(const Matrix* channelWeights);

    // The frame loop of generate_fragments: frmSegments and f0Candidates of
    // every frame, frame by frame through analyse_frame.
    void spectral_integrate();
    // Grouping of the current frame from currAcg, sumAcg and peakLag (the
    // voicing test's): updates gaborReal and gaborImag, and writes the
    // frame's rows of frmSegments and f0Candidates when it is grouped.
    void group_channels();

    // Frame tests and primitives of the current frame.
    bool is_silent();
    bool is_unvoiced();            // sets sumAcg (by sum_acg()) and peakLag
    void normalise_current_acg();  // sets currAcg
    void sum_acg();                // sumAcg: the weighted summary of all channels
    static int pick_peaks(const double* data, int n, int width, int start, int* peaks,
                          int maxPeaks);
    static double find_max(const double* p, int from, int to, int& idx);
    static double find_max(const double* p, int from, int to);
    // The lags within tolHz of lag (lags_within_hz), and the distance of two
    // lags in Hz (hz_apart).
    void rangeInHz(int lag, double tolHz, int& lo, int& hi) const;
    double calc_distHz(int a, int b) const;

    // Gabor dendrites and spines.
    // The grouping's vector loops use the widest vectors the process allows
    // (vec::active_width, vectors.h); false keeps this grouping's to SSE2.
    // Results are the same either way; the switch serves tests and
    // measurements.
    void allow_wide_vectors(bool allow);
    void updateGabor();  // gaborReal, gaborImag from currAcg
    // The exact full scan of inner channel c over currAcg with gaborReal and
    // gaborImag (DendriteSearch::exact_scan): the reference of the search.
    int gabor_conv2(int c);
    void extract_dendrites(std::vector<int>& dendrites);
    // Spines from the dendrites (locate_spines) into spines[0 .. 1] and
    // spineCount; true when they fall back to peakLag.
    bool locate_dendrites(const std::vector<int>& dendrites, std::vector<int>& spines,
                          int& spineCount);

    // Spine adjustment and channel assignment.
    // sumAcg: the summary of currAcg's channels labelled group.
    void sum_acg(const std::vector<int>& channelGroups, SPINE_GROUPS group);
    // adjust_spines (spines.h) with sumAcg as the frame's summary for the
    // fallback; channelGroups receives the supporting channels.
    void adjust_spines(const std::vector<int>& dendrites, std::vector<int>& channelGroups,
                       bool& fallback, std::vector<int>& spines, int& spineCount);
    void assign_channels(const std::vector<int>& spines, int spineCount,
                         std::vector<int>& channelGroups);

    // Frame segments and F0 candidates.
    // sumAcg: the weighted summary of the current frame's raw rows labelled
    // group in frmSegments.
    void sum_acg(SPINE_GROUPS group);
    // The current frame's rows of frmSegments and f0Candidates from its
    // channel groups; candidates a group does not set keep their value.
    void update_FrmSeg_F0Cand(const std::vector<int>& channelGroups);

    // Fragments and mask of every frame from the tracks (claim_frame).
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

    // Reports the stages of generate_fragments (and of the steps above) to
    // timer, null for none; the timer must outlive the calls.
    void set_stage_timer(StageTimer* timer);

private:
    // Work space of the frame analyses. It holds nothing a result depends on
    // beyond the call that fills it, so copies of the grouping may share it.
    std::shared_ptr<FrameScratch> scratch_;
    std::vector<const double*> rawRows_;  // row pointers of one model frame

    // The lags of the periodicity search: the sample rate, nlags, minLag, maxLag.
    LagGeometry lags() const { return {model.srate, model.nlags, minLag, maxLag}; }
    // The raw rows of frame f of the model.
    FrameRows raw_frame(int f);
    // The weights of frame f (null without weights); throws std::out_of_range
    // when the frame's row is missing or shorter than nchans.
    const double* weight_row(int f) const;
};
