#include "voices.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <tuple>
#include <utility>

namespace {

// Longest run of the two-means before it stops (it settles in a few).
constexpr int kMaxRounds = 100;
// Cost of a frame shared by two tracks of one voice, in units of a track
// frame's squared distance in log F0 from its voice's centre: a track of
// 10 frames 0.1 (10 %) from its centre costs as much as sharing one frame.
constexpr double kOverlapCost = 0.1;
// Tracks shorter than this (frames) take a voice but do not move the
// voices' centres: short tracks are often the tracker's spurious pitches at
// a multiple or a fraction of a talker's F0.
constexpr int kMinCentreFrames = 5;

// The tracks of the label table, with their frames and median F0, in order
// of their first frame.
std::vector<VoiceTrack> collect_tracks(const IntMatrix& f0Labels, const Matrix& f0Tracks,
                                       int nframes) {
    std::map<int, VoiceTrack> byId;
    std::map<int, std::vector<double>> f0s;
    for (int j = 0; j < nframes; ++j)
        for (int slot = 0; slot < 2; ++slot) {
            const int id = f0Labels[j][slot];
            if (id <= 0) continue;
            VoiceTrack& t = byId[id];
            if (t.frames == 0) t.id = id, t.first = j;
            t.last = j;
            ++t.frames;
            f0s[id].push_back(f0Tracks[j][slot]);
        }
    std::vector<VoiceTrack> tracks;
    for (auto& [id, t] : byId) {
        std::vector<double>& v = f0s[id];
        std::sort(v.begin(), v.end());
        const size_t m = v.size() / 2;
        t.medianF0 = v.size() % 2 ? v[m] : 0.5 * (v[m - 1] + v[m]);
        tracks.push_back(t);
    }
    std::stable_sort(tracks.begin(), tracks.end(),
                     [](const VoiceTrack& a, const VoiceTrack& b) { return a.first < b.first; });
    return tracks;
}

// The pairs of tracks (indices, lower first) that share frames, with the
// number of frames they share.
std::map<std::pair<int, int>, int> simultaneous(const IntMatrix& f0Labels, int nframes,
                                                const std::map<int, int>& index) {
    std::map<std::pair<int, int>, int> shared;
    for (int j = 0; j < nframes; ++j) {
        const int a = f0Labels[j][0], b = f0Labels[j][1];
        if (a <= 0 || b <= 0 || a == b) continue;
        const int i = index.at(a), k = index.at(b);
        ++shared[{std::min(i, k), std::max(i, k)}];
    }
    return shared;
}

// The class centres of the best split of x into a lower and a higher part,
// weighted by w: the split of largest between-class variance (x's extremes
// when no split has weight on both sides).
std::pair<double, double> best_split(const std::vector<double>& x, const std::vector<double>& w) {
    std::vector<int> order(x.size());
    for (size_t i = 0; i < x.size(); ++i) order[i] = static_cast<int>(i);
    std::stable_sort(order.begin(), order.end(), [&](int a, int b) { return x[a] < x[b]; });
    double totalW = 0, totalWx = 0;
    for (size_t i = 0; i < x.size(); ++i) totalW += w[i], totalWx += w[i] * x[i];
    double lowW = 0, lowWx = 0, best = -1;
    std::pair<double, double> centres{x[order.front()], x[order.back()]};
    for (size_t k = 0; k + 1 < order.size(); ++k) {
        lowW += w[order[k]], lowWx += w[order[k]] * x[order[k]];
        const double highW = totalW - lowW;
        if (lowW <= 0.0 || highW <= 0.0) continue;
        const double m0 = lowWx / lowW, m1 = (totalWx - lowWx) / highW;
        const double between = lowW * highW * (m1 - m0) * (m1 - m0);
        if (between > best) best = between, centres = {m0, m1};
    }
    return centres;
}

// The voice classes (0 lower, 1 higher) that minimise
//   sum_i w[i] (x[i] - c[class i])^2 + kOverlapCost x (frames shared by two
//   tracks of one class),
// the class centres c being the means of the classes weighted by fit (w,
// or 0 for the tracks that do not move the centres): each track in turn
// takes the class of lower cost given the others, then the centres follow,
// until nothing changes. Starts from the best split of x weighted by fit.
std::vector<int> two_classes(const std::vector<double>& x, const std::vector<double>& w,
                             const std::vector<double>& fit,
                             const std::map<std::pair<int, int>, int>& shared) {
    const size_t n = x.size();
    std::vector<std::vector<std::pair<int, int>>> partners(n);
    for (const auto& [pair, frames] : shared) {
        partners[pair.first].push_back({pair.second, frames});
        partners[pair.second].push_back({pair.first, frames});
    }
    double c[2];
    std::tie(c[0], c[1]) = best_split(x, fit);
    std::vector<int> cls(n);
    for (size_t i = 0; i < n; ++i) cls[i] = std::fabs(x[i] - c[1]) < std::fabs(x[i] - c[0]);
    for (int round = 0; round < kMaxRounds; ++round) {
        bool changed = false;
        for (size_t i = 0; i < n; ++i) {
            double cost[2];
            for (int k = 0; k < 2; ++k) {
                cost[k] = w[i] * (x[i] - c[k]) * (x[i] - c[k]);
                for (const auto& [other, frames] : partners[i])
                    if (cls[other] == k) cost[k] += kOverlapCost * frames;
            }
            const int best = cost[1] < cost[0] ? 1 : 0;
            changed |= best != cls[i];
            cls[i] = best;
        }
        double sw[2] = {0, 0}, swx[2] = {0, 0};
        for (size_t i = 0; i < n; ++i) sw[cls[i]] += fit[i], swx[cls[i]] += fit[i] * x[i];
        for (int k = 0; k < 2; ++k)
            if (sw[k] > 0) {
                const double m = swx[k] / sw[k];
                changed |= m != c[k];
                c[k] = m;
            }
        if (!changed) break;
    }
    return cls;
}

// Geometric mean F0 of each voice's tracks, weighted by their frames.
void voice_centres(VoiceGrouping& g) {
    double sw[2] = {0, 0}, swx[2] = {0, 0};
    for (const VoiceTrack& t : g.tracks)
        sw[t.voice - 1] += t.frames, swx[t.voice - 1] += t.frames * std::log(t.medianF0);
    for (int v = 0; v < 2; ++v) g.centreF0[v] = sw[v] > 0 ? std::exp(swx[v] / sw[v]) : 0.0;
}

}  // namespace

int VoiceGrouping::voice_of(int id) const {
    for (const VoiceTrack& t : tracks)
        if (t.id == id) return t.voice;
    return 0;
}

VoiceGrouping group_voices(const IntMatrix& f0Labels, const Matrix& f0Tracks, int nframes) {
    VoiceGrouping g;
    g.tracks = collect_tracks(f0Labels, f0Tracks, nframes);
    const int n = static_cast<int>(g.tracks.size());
    if (n == 0) return g;
    std::map<int, int> index;
    for (int i = 0; i < n; ++i) index[g.tracks[i].id] = i;
    const auto shared = simultaneous(f0Labels, nframes, index);
    std::vector<double> x(n), w(n), fit(n);
    int longTracks = 0;
    for (int i = 0; i < n; ++i) {
        x[i] = std::log(g.tracks[i].medianF0);
        w[i] = g.tracks[i].frames;
        longTracks += g.tracks[i].frames >= kMinCentreFrames;
    }
    // Without long tracks every track moves the centres.
    for (int i = 0; i < n; ++i)
        fit[i] = g.tracks[i].frames >= kMinCentreFrames || longTracks < 2 ? w[i] : 0.0;
    const std::vector<int> cls = n > 1 ? two_classes(x, w, fit, shared) : std::vector<int>(1, 0);
    for (int i = 0; i < n; ++i) g.tracks[i].voice = cls[i] + 1;
    g.conflicts = static_cast<int>(shared.size());
    for (const auto& [pair, frames] : shared) g.unmetConflicts += cls[pair.first] == cls[pair.second];
    voice_centres(g);
    if (g.centreF0[0] > 0 && g.centreF0[1] > 0 && g.centreF0[0] > g.centreF0[1]) {
        for (VoiceTrack& t : g.tracks) t.voice = 3 - t.voice;
        std::swap(g.centreF0[0], g.centreF0[1]);
    }
    const bool apart = g.centreF0[0] > 0 && g.centreF0[1] >= kMinVoiceRatio * g.centreF0[0];
    if (g.conflicts == 0 && !apart) {
        g.oneVoice = true;
        for (VoiceTrack& t : g.tracks) t.voice = 1;
        voice_centres(g);
    }
    return g;
}

VoiceTable::VoiceTable(const VoiceGrouping& grouping) {
    for (const VoiceTrack& t : grouping.tracks) voice_[t.id] = t.voice;
}

void VoiceTable::label_row(const int* fragments, int n, int* voices) const {
    for (int c = 0; c < n; ++c) {
        const auto it = fragments[c] > 0 ? voice_.find(fragments[c]) : voice_.end();
        voices[c] = it != voice_.end() ? it->second : 0;
    }
}

IntMatrix voice_labels(const IntMatrix& fragments, const VoiceGrouping& grouping) {
    const VoiceTable table(grouping);
    IntMatrix labels(fragments.size());
    for (size_t j = 0; j < fragments.size(); ++j) {
        labels[j].assign(fragments[j].size(), 0);
        table.label_row(fragments[j].data(), static_cast<int>(fragments[j].size()), labels[j].data());
    }
    return labels;
}

void voice_mask_row(const int* labels, const double* mask, int n, int voice, double* out) {
    for (int c = 0; c < n; ++c) {
        const bool claimed = labels[c] != 0;
        if (voice == 0)
            out[c] = claimed ? 1.0 - mask[c] : 1.0;
        else
            out[c] = labels[c] == voice ? mask[c] : 0.0;
    }
}

Matrix voice_mask(const IntMatrix& labels, const Matrix& mask, int voice) {
    Matrix m(labels.size());
    for (size_t j = 0; j < labels.size(); ++j) {
        m[j].assign(labels[j].size(), 0.0);
        voice_mask_row(labels[j].data(), mask[j].data(), static_cast<int>(labels[j].size()), voice,
                       m[j].data());
    }
    return m;
}
