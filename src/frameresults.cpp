#include "frameresults.h"

#include <algorithm>

#include "fragments.h"
#include "frametests.h"
#include "matrixfile.h"

namespace {

// Best lags a channel labelled label keeps: one near group 1's candidate,
// three near group 2's.
int lags_kept(int label) { return label == SPINE_1 ? 1 : label == SPINE_2 ? kCandidates - 1 : 0; }

// The candidates that a channel of group searches near: group 1's is
// candidate 0, group 2's are candidates 1 .. 3.
int first_candidate(int group) { return group == SPINE_1 ? 0 : 1; }

}  // namespace

void ReducedFrame::reduce(const FrameRows& raw, const FrameAnalysis& a, int srate) {
    const int nchans = raw.nchans;
    bestLags.clear();
    std::fill(candidates, candidates + kCandidates, 0.0);
    if (a.kind != FrameKind::Grouped) {
        labels.assign(nchans, 0);
        return;
    }
    labels = a.labels;
    std::copy(a.candidates, a.candidates + kCandidates, candidates);
    if (withAgreement) {
        agreement.resize(static_cast<std::size_t>(kCandidates) * nchans);
        candidate_agreement(raw, candidates, srate, agreement.data());
    }
    int kept = 0;
    for (int c = 0; c < nchans; ++c) kept += lags_kept(labels[c]);
    bestLags.assign(kept, 0);
    best_.resize(nchans);
    for (int j = 0; j < kCandidates; ++j) {
        if (candidates[j] == 0.0) continue;
        const int group = j == 0 ? SPINE_1 : SPINE_2;
        best_lags_near(raw, labels.data(), group, candidates[j], srate, best_.data());
        // Each lag lies below max(srate / 20 Hz, nlags), within 16 bits for
        // every sample rate the program reads.
        for (int c = 0, at = 0; c < nchans; at += lags_kept(labels[c]), ++c)
            if (labels[c] == group)
                bestLags[at + j - first_candidate(group)] = static_cast<std::uint16_t>(best_[c]);
    }
}

FrameResults::FrameResults(int nchans, const LagGeometry& g) : nchans_(nchans), lags_(g) {}

std::size_t FrameResults::least_bytes_per_frame(int nchans) {
    // The labels, and the tracker's three tables: a row of each is a vector
    // (its header) and a heap block with the allocator's overhead.
    constexpr std::size_t kRow = sizeof(std::vector<double>) + 16;
    return static_cast<std::size_t>(nchans) + 3 * kRow + sizeof(double) * kCandidates +
           sizeof(int) * 2 + sizeof(double) * 2;
}

void FrameResults::append(const ReducedFrame& r) {
    for (int c = 0; c < nchans_; ++c) labels_.push_back(static_cast<std::uint8_t>(r.labels[c]));
    bestLags_.insert(bestLags_.end(), r.bestLags.begin(), r.bestLags.end());
    candidates_.emplace_back(r.candidates, r.candidates + kCandidates);
    if (evidence_) evidence_->append(r.candidates, r.agreement.data());
}

void FrameResults::track(PitchTracker& tracker) {
    const int n = frames();
    f0Labels_.assign(n, std::vector<int>(2, 0));
    f0Tracks_.assign(n, std::vector<double>(2, 0.0));
    tracker.track(candidates_, n, f0Labels_, f0Tracks_);
    wrap_ = false;
    form_fragments([&](int, const int* frag, const double*) {
        for (int c = 0; c < nchans_; ++c) wrap_ |= frag[c] < -32768 || frag[c] > 32767;
    });
}

void FrameResults::form_fragments(const FragmentRow& out) const {
    const int nchans = nchans_;
    std::vector<int> labels(nchans), frag(nchans), best(nchans), offset(nchans);
    std::vector<double> mask(nchans);
    std::size_t at = 0;  // the frame's first best lag in bestLags_
    for (int f = 0; f < frames(); ++f) {
        const std::size_t row = static_cast<std::size_t>(f) * nchans;
        int kept = 0;
        for (int c = 0; c < nchans; ++c) {
            labels[c] = labels_[row + c];
            offset[c] = kept;
            kept += lags_kept(labels[c]);
        }
        std::fill(frag.begin(), frag.end(), 0);
        std::fill(mask.begin(), mask.end(), 0.0);
        const double* cand = candidates_[f].data();
        if (f0Labels_[f][0] > 0 || f0Labels_[f][1] > 0) {
            const BestLags bestLags = [&](int group, double f0) {
                // The first of the group's candidates that is f0.
                const int last = group == SPINE_1 ? 0 : kCandidates - 1;
                int j = first_candidate(group);
                while (j < last && cand[j] != f0) ++j;
                const int slot = j - first_candidate(group);
                for (int c = 0; c < nchans; ++c)
                    if (labels[c] == group) best[c] = bestLags_[at + offset[c] + slot];
                return static_cast<const int*>(best.data());
            };
            claim_frame(labels.data(), cand, f0Labels_[f].data(), f0Tracks_[f].data(), lags_,
                        nchans, bestLags, frag.data(), mask.data());
        }
        out(f, frag.data(), mask.data());
        at += kept;
    }
}

namespace {

// Rows of a table of doubles rounded to float32, or of ints to their low
// 16 bits, as the result files hold them.
template <typename Out, typename Table>
void copy_rows(const Table& m, Out* out) {
    for (const auto& row : m)
        for (const auto v : row) *out++ = static_cast<Out>(v);
}

}  // namespace

void FrameResults::copy_tables(const Tables& t) const {
    const std::size_t n = nchans_;
    if (t.frmseg) std::copy(labels_.begin(), labels_.end(), t.frmseg);
    if (t.f0cands) copy_rows(candidates_, t.f0cands);
    if (t.f0tracks) copy_rows(f0Tracks_, t.f0tracks);
    if (t.f0labels) copy_rows(f0Labels_, t.f0labels);
    if (t.slot_ids) copy_rows(f0Labels_, t.slot_ids);
    if (!t.groups && !t.mask && !t.ids) return;
    form_fragments([&](int f, const int* frag, const double* mask) {
        const std::size_t row = static_cast<std::size_t>(f) * n;
        for (std::size_t c = 0; c < n; ++c) {
            if (t.groups) t.groups[row + c] = static_cast<std::int16_t>(frag[c]);
            if (t.mask) t.mask[row + c] = static_cast<float>(mask[c]);
            if (t.ids) t.ids[row + c] = frag[c];
        }
    });
}

bool FrameResults::write_frmSegments(const char* filename) const {
    MatrixFile out(filename);
    std::vector<int> row(nchans_);
    for (std::size_t i = 0; i < labels_.size(); i += nchans_) {
        std::copy(labels_.begin() + i, labels_.begin() + i + nchans_, row.begin());
        out.put_int16(row.data(), row.size());
    }
    return out.close();
}

bool FrameResults::write_f0Candidates(const char* filename) const {
    return write_float32_matrix(filename, candidates_);
}

bool FrameResults::write_f0Tracks(const char* filename) const {
    return write_float32_matrix(filename, f0Tracks_);
}

bool FrameResults::write_fragments(const char* filename) const {
    MatrixFile out(filename);
    form_fragments([&](int, const int* frag, const double*) { out.put_int16(frag, nchans_); });
    return out.close();
}

bool FrameResults::write_mask(const char* filename) const {
    MatrixFile out(filename);
    form_fragments([&](int, const int*, const double* mask) { out.put_float32(mask, nchans_); });
    return out.close();
}

bool FrameResults::write_f0Labels(const char* filename) const {
    return write_int16_matrix(filename, f0Labels_);
}
