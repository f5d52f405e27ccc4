#include "casagrouping.h"

#include <algorithm>
#include <stdexcept>

#include "candidates.h"
#include "frameanalysis.h"
#include "fragments.h"
#include "matrixfile.h"
#include "spines.h"

namespace {

// Row pointers of a matrix's rows.
std::vector<const double*> row_pointers(const Matrix& m) {
    std::vector<const double*> rows(m.size());
    for (size_t c = 0; c < m.size(); ++c) rows[c] = m[c].data();
    return rows;
}

// The rows of currAcg as a frame of nlags lags.
struct MatrixRows {
    std::vector<const double*> pointers;
    FrameRows view;
    MatrixRows(const Matrix& m, int nchans, int nlags)
        : pointers(row_pointers(m)), view{pointers.data(), nchans, nlags} {}
};

// The kernels in gaborReal and gaborImag.
struct MatrixKernels {
    std::vector<const double*> real, imag;
    GaborKernels view;
    MatrixKernels(const Matrix& re, const Matrix& im)
        : real(row_pointers(re)), imag(row_pointers(im)), view{real.data(), imag.data()} {}
};

Spines spines_of(const std::vector<int>& lags, int count, bool fallback) {
    Spines sp;
    std::copy(lags.begin(), lags.begin() + 4, sp.lag);
    sp.count = count;
    sp.fallback = fallback;
    return sp;
}

}  // namespace

CASAGrouping::CASAGrouping(const AcgModel& m, PitchTracker& t)
    : model(m), tracker(t),
      frmSegments(m.nframes, std::vector<int>(m.param.nchans, 0)),
      f0Candidates(m.nframes, std::vector<double>(kCandidates, 0.0)),
      f0Labels(m.nframes, std::vector<int>(2, 0)),
      f0Tracks(m.nframes, std::vector<double>(2, 0.0)),
      fragments(m.nframes, std::vector<int>(m.param.nchans, 0)),
      mask(m.nframes, std::vector<double>(m.param.nchans, 0.0)),
      sumAcg(m.nlags, 0.0),
      currAcg(m.param.nchans, std::vector<double>(m.nlags, 0.0)),
      gaborReal(m.param.nchans, std::vector<double>(kGaborHalf, 0.0)),
      gaborImag(m.param.nchans, std::vector<double>(kGaborHalf, 0.0)),
      minLag(lag_geometry(m.srate, m.nlags).minLag),
      maxLag(lag_geometry(m.srate, m.nlags).maxLag),
      scratch_(std::make_shared<FrameScratch>()) {}

CASAGrouping::~CASAGrouping() = default;

FrameRows CASAGrouping::raw_frame(int f) {
    const int nchans = std::max(model.param.nchans, 0);
    rawRows_.resize(nchans);
    model_frame_rows(model.acg, nchans, f, model.nlags, rawRows_.data());
    return {rawRows_.data(), nchans, model.nlags};
}

const double* CASAGrouping::weight_row(int f) const {
    if (!weights) return nullptr;
    const std::vector<double>& row = weights->at(f);
    if (row.size() < static_cast<size_t>(model.param.nchans))
        throw std::out_of_range("weight row shorter than the number of channels");
    return row.data();
}

void CASAGrouping::set_stage_timer(StageTimer* timer) { scratch_->timer = timer; }

// ---------------------------------------------------------------------------
// The whole utterance

void CASAGrouping::generate_fragments(const Matrix* channelWeights) {
    weights = channelWeights;
    spectral_integrate();
    mark(scratch_->timer, Stage::Tracker);
    tracker.track(f0Candidates, model.nframes, f0Labels, f0Tracks);
    form_fragments();
    mark(scratch_->timer, Stage::Idle);
}

void CASAGrouping::spectral_integrate() {
    const LagGeometry g = lags();
    FrameScratch& s = *scratch_;
    for (currFrame = 0; currFrame < model.nframes; ++currFrame) {
        const FrameRows raw = raw_frame(currFrame);
        mark(s.timer, Stage::FrameTests);
        // A silent frame's weights are not needed and not checked.
        if (is_silent_frame(raw)) continue;
        const FrameInput in{raw, weight_row(currFrame), model.cfs.data()};
        const FrameAnalysis a = analyse_frame(in, g, s);
        if (a.kind != FrameKind::Grouped) continue;
        std::copy(a.labels.begin(), a.labels.end(), frmSegments[currFrame].begin());
        std::copy(a.candidates, a.candidates + kCandidates, f0Candidates[currFrame].begin());
    }
    mark(s.timer, Stage::Idle);
}

void CASAGrouping::group_channels() {
    updateGabor();
    const int nchans = model.param.nchans;
    FrameAnalysis a;
    a.summary = sumAcg;
    a.peakLag = peakLag;
    a.labels.assign(nchans, 0);
    const FrameInput in{raw_frame(currFrame), weight_row(currFrame), model.cfs.data()};
    const MatrixRows normalised(currAcg, nchans, model.nlags);
    const MatrixKernels kernels(gaborReal, gaborImag);
    group_frame(in, normalised.view, kernels.view, lags(), *scratch_, a);
    if (a.kind != FrameKind::Grouped) return;
    std::copy(a.labels.begin(), a.labels.end(), frmSegments[currFrame].begin());
    std::copy(a.candidates, a.candidates + kCandidates, f0Candidates[currFrame].begin());
}

// ---------------------------------------------------------------------------
// Frame tests and primitives

bool CASAGrouping::is_silent() { return is_silent_frame(raw_frame(currFrame)); }

bool CASAGrouping::is_unvoiced() {
    sum_acg();
    const Voicing v = voicing_of(sumAcg.data(), lags());
    peakLag = v.peakLag;
    return v.unvoiced;
}

void CASAGrouping::normalise_current_acg() {
    std::vector<double*> out(currAcg.size());
    for (size_t c = 0; c < currAcg.size(); ++c) out[c] = currAcg[c].data();
    normalise_rows(raw_frame(currFrame), out.data(), scratch_->width());
}

void CASAGrouping::sum_acg() {
    const FrameRows raw = raw_frame(currFrame);
    weighted_summary(raw, weight_row(currFrame), sumAcg.data());
}

int CASAGrouping::pick_peaks(const double* data, int n, int width, int start, int* peaks,
                             int maxPeaks) {
    return ::pick_peaks(data, n, width, start, peaks, maxPeaks);
}

double CASAGrouping::find_max(const double* p, int from, int to, int& idx) {
    return ::find_max(p, from, to, idx);
}

double CASAGrouping::find_max(const double* p, int from, int to) {
    int idx;
    return ::find_max(p, from, to, idx);
}

void CASAGrouping::rangeInHz(int lag, double tolHz, int& lo, int& hi) const {
    const LagRange r = lags_within_hz(lags(), lag, tolHz);
    lo = r.lo;
    hi = r.hi;
}

double CASAGrouping::calc_distHz(int a, int b) const { return hz_apart(model.srate, a, b); }

// ---------------------------------------------------------------------------
// Gabor dendrites and spines

void CASAGrouping::allow_wide_vectors(bool allow) {
    scratch_->widthCap = allow ? vec::Width::Avx512 : vec::Width::Sse2;
}

void CASAGrouping::updateGabor() {
    const MatrixRows normalised(currAcg, model.param.nchans, model.nlags);
    const GaborKernels k = frame_kernels(normalised.view, *scratch_);
    for (int c = 0; c < model.param.nchans; ++c) {
        std::copy(k.real[c], k.real[c] + kGaborHalf, gaborReal[c].begin());
        std::copy(k.imag[c], k.imag[c] + kGaborHalf, gaborImag[c].begin());
    }
}

int CASAGrouping::gabor_conv2(int c) {
    const MatrixRows normalised(currAcg, model.param.nchans, model.nlags);
    const MatrixKernels kernels(gaborReal, gaborImag);
    return scratch_->search.exact_scan(normalised.view, kernels.view, c, minLag, maxLag);
}

void CASAGrouping::extract_dendrites(std::vector<int>& dendrites) {
    const MatrixRows normalised(currAcg, model.param.nchans, model.nlags);
    const MatrixKernels kernels(gaborReal, gaborImag);
    scratch_->search.find(normalised.view, kernels.view, minLag, maxLag, scratch_->width(),
                          dendrites.data());
}

bool CASAGrouping::locate_dendrites(const std::vector<int>& dendrites, std::vector<int>& spines,
                                    int& spineCount) {
    const Spines sp = locate_spines(dendrites.data(), weight_row(currFrame), model.param.nchans,
                                    peakLag, lags(), scratch_->ranges);
    spines[0] = sp.lag[0];
    spines[1] = sp.lag[1];
    spineCount = sp.count;
    return sp.fallback;
}

// ---------------------------------------------------------------------------
// Spine adjustment and channel assignment

void CASAGrouping::sum_acg(const std::vector<int>& channelGroups, SPINE_GROUPS group) {
    const MatrixRows normalised(currAcg, model.param.nchans, model.nlags);
    group_summary(normalised.view, channelGroups.data(), group, sumAcg.data());
}

void CASAGrouping::adjust_spines(const std::vector<int>& dendrites,
                                 std::vector<int>& channelGroups, bool& fallback,
                                 std::vector<int>& spines, int& spineCount) {
    Spines sp = spines_of(spines, spineCount, fallback);
    const MatrixRows normalised(currAcg, model.param.nchans, model.nlags);
    std::vector<double> work(model.nlags);
    ::adjust_spines(sp, normalised.view, dendrites.data(), sumAcg.data(), peakLag, lags(),
                    work.data(), channelGroups.data());
    std::copy(sp.lag, sp.lag + 4, spines.begin());
    spineCount = sp.count;
    fallback = sp.fallback;
}

void CASAGrouping::assign_channels(const std::vector<int>& spines, int spineCount,
                                   std::vector<int>& channelGroups) {
    const MatrixRows normalised(currAcg, model.param.nchans, model.nlags);
    ::assign_channels(normalised.view, model.cfs.data(), spines_of(spines, spineCount, false),
                      lags(), channelGroups.data());
}

// ---------------------------------------------------------------------------
// Frame segments and F0 candidates

void CASAGrouping::sum_acg(SPINE_GROUPS group) {
    const FrameRows raw = raw_frame(currFrame);
    weighted_group_summary(raw, weight_row(currFrame), frmSegments[currFrame].data(), group,
                           sumAcg.data());
}

void CASAGrouping::update_FrmSeg_F0Cand(const std::vector<int>& channelGroups) {
    const FrameRows raw = raw_frame(currFrame);
    std::vector<double> work(model.nlags);
    const bool merged = group_candidates(raw, weight_row(currFrame), channelGroups.data(), lags(),
                                         work.data(), f0Candidates[currFrame].data());
    frame_labels(channelGroups.data(), model.param.nchans, merged,
                 frmSegments[currFrame].data());
}

// ---------------------------------------------------------------------------
// Fragments and mask

void CASAGrouping::form_fragments() {
    mark(scratch_->timer, Stage::Fragments);
    const LagGeometry g = lags();
    const int nchans = model.param.nchans;
    std::vector<int> best(std::max(nchans, 0));
    for (int i = 0; i < model.nframes; ++i) {
        if (f0Labels[i][0] <= 0 && f0Labels[i][1] <= 0) continue;
        const FrameRows raw = raw_frame(i);
        const int* labels = frmSegments[i].data();
        const BestLags bestLags = [&](int group, double f0) {
            best_lags_near(raw, labels, group, f0, g.srate, best.data());
            return static_cast<const int*>(best.data());
        };
        claim_frame(labels, f0Candidates[i].data(), f0Labels[i].data(), f0Tracks[i].data(), g,
                    nchans, bestLags, fragments[i].data(), mask[i].data());
    }
}

bool CASAGrouping::fragment_labels_wrap() const {
    for (const auto& row : fragments)
        for (const int v : row)
            if (v < -32768 || v > 32767) return true;
    return false;
}

// ---------------------------------------------------------------------------
// Result writers

bool CASAGrouping::write_frmSegments(const char* filename) const {
    return write_int16_matrix(filename, frmSegments);
}

bool CASAGrouping::write_f0Candidates(const char* filename) const {
    return write_float32_matrix(filename, f0Candidates);
}

bool CASAGrouping::write_f0Tracks(const char* filename) const {
    return write_float32_matrix(filename, f0Tracks);
}

bool CASAGrouping::write_fragments(const char* filename) const {
    return write_int16_matrix(filename, fragments);
}

bool CASAGrouping::write_mask(const char* filename) const {
    return write_float32_matrix(filename, mask);
}

bool CASAGrouping::write_f0Labels(const char* filename) const {
    return write_int16_matrix(filename, f0Labels);
}
