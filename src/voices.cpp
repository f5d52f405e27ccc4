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

// How far a track's ends reach: the log F0 at its first and last frames
// (medians of kEndFrames frames, so that one stray frame does not move
// them), and the track's slope (least squares over the whole track, in log
// F0 per frame, at most kMaxSlope either way; 0 for tracks shorter than
// kSlopeFrames, and over a longer track a vibrato averages out).
struct TrackEnds {
    double startLog = 0, endLog = 0;
    double slope = 0;
};

// Frames of a track's end whose median is its F0 there.
constexpr int kEndFrames = 3;
// Shortest track whose slope counts.
constexpr int kSlopeFrames = 15;
// Largest slope taken from a track: log F0 per frame (0.4 % per 10 ms frame).
constexpr double kMaxSlope = 0.004;

double median_log(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const size_t m = v.size() / 2;
    return std::log(v.size() % 2 ? v[m] : 0.5 * (v[m - 1] + v[m]));
}

// Least-squares slope of log f0 per frame, clamped.
double log_slope(const std::vector<double>& f0) {
    const size_t n = f0.size();
    if (n < static_cast<size_t>(kSlopeFrames)) return 0.0;
    double st = 0, sy = 0, stt = 0, sty = 0;
    for (size_t k = 0; k < n; ++k) {
        const double t = static_cast<double>(k), y = std::log(f0[k]);
        st += t, sy += y, stt += t * t, sty += t * y;
    }
    const double dn = static_cast<double>(n);
    const double slope = (dn * sty - st * sy) / (dn * stt - st * st);
    return std::clamp(slope, -kMaxSlope, kMaxSlope);
}

// The ends of a track whose F0s, in frame order, are f0.
TrackEnds track_ends(const std::vector<double>& f0) {
    const size_t e = std::min<size_t>(kEndFrames, f0.size());
    TrackEnds ends;
    ends.startLog = median_log({f0.begin(), f0.begin() + e});
    ends.endLog = median_log({f0.end() - e, f0.end()});
    ends.slope = log_slope(f0);
    return ends;
}

// The tracks of the label table, with their frames and median F0, in order
// of their first frame.
std::vector<VoiceTrack> collect_tracks(const IntMatrix& f0Labels, const Matrix& f0Tracks,
                                       int nframes, std::vector<TrackEnds>& ends) {
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
    std::map<int, TrackEnds> endsById;
    for (auto& [id, t] : byId) {
        std::vector<double>& v = f0s[id];
        endsById[id] = track_ends(v);
        std::sort(v.begin(), v.end());
        const size_t m = v.size() / 2;
        t.medianF0 = v.size() % 2 ? v[m] : 0.5 * (v[m - 1] + v[m]);
        tracks.push_back(t);
    }
    std::stable_sort(tracks.begin(), tracks.end(),
                     [](const VoiceTrack& a, const VoiceTrack& b) { return a.first < b.first; });
    ends.clear();
    for (const VoiceTrack& t : tracks) ends.push_back(endsById[t.id]);
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

// The costs of the sequential grouping, in the two-means' unit (a track
// frame's squared distance in log F0 from its voice's centre). Chosen by
// bench/evaluate_separation.py on the tuning part of the generated
// mixtures whose talkers' F0 ranges overlap.
struct LinkCosts {
    double range = 0.02;       // weight of the two-means' cost around the voices' centres
    double link = 0.02;        // weight of a link's squared misfit, per frame of the shorter track
    int linkFrames = 40;       // ... counting at most this many frames
    double misfitCap = 16;     // largest squared misfit a link costs (in tolerances)
    double tolerance = 0.04;   // log F0 a link may miss by at no gap (0.7 semitones)...
    double tolerancePerFrame = 0.0025;  // ... and this more for each frame of gap
    int maxExtrapolation = 15;  // frames a track's slope is followed into a gap
    double overlap = 1.0;       // per frame two tracks of one voice share
};

// One way of giving the tracks so far their voices: its cost, the last
// track of each voice (the one that ends latest; -1 for none), and how it
// came about (the hypothesis it extends and the class of its newest track).
struct Hypothesis {
    double cost = 0;
    int last[2] = {-1, -1};
    int parent = -1;
    int cls = 0;
};

// Hypotheses kept after each track: the best ones of distinct last tracks.
constexpr int kBeam = 48;

// The sequential grouping's view of the tracks: what a voice's next track
// costs given the voice's last one.
class VoiceLinks {
public:
    VoiceLinks(const std::vector<VoiceTrack>& tracks, const std::vector<TrackEnds>& ends,
               const std::map<std::pair<int, int>, int>& shared, const LinkCosts& costs)
        : tracks_(tracks), ends_(ends), shared_(shared), costs_(costs) {}

    // Cost of track i following track a (-1: none) in one voice: the frames
    // they share, or how far i's start misses a's end carried over the gap
    // along both ends' slopes (only long tracks link).
    double cost(int a, int i, bool link) const {
        if (a < 0) return 0.0;
        const auto it = shared_.find({std::min(a, i), std::max(a, i)});
        if (it != shared_.end()) return costs_.overlap * it->second;
        if (!link || tracks_[i].first <= tracks_[a].last) return 0.0;
        const int gap = tracks_[i].first - tracks_[a].last;
        const double reach = std::min(gap, costs_.maxExtrapolation);
        const TrackEnds &ea = ends_[a], &ei = ends_[i];
        const double forward = ea.endLog + ea.slope * reach - ei.startLog;
        const double backward = ea.endLog - (ei.startLog - ei.slope * reach);
        const double misfit = 0.5 * (std::fabs(forward) + std::fabs(backward)) /
                              (costs_.tolerance + costs_.tolerancePerFrame * gap);
        const int frames = std::min({tracks_[a].frames, tracks_[i].frames, costs_.linkFrames});
        return costs_.link * frames * std::min(misfit * misfit, costs_.misfitCap);
    }

private:
    const std::vector<VoiceTrack>& tracks_;
    const std::vector<TrackEnds>& ends_;
    const std::map<std::pair<int, int>, int>& shared_;
    const LinkCosts& costs_;
};

// The hypotheses after adding track i (long: it links and may be a voice's
// last track) to each of prev in either class: the best kBeam of distinct
// last tracks, cheapest first (ties in the order they were made).
std::vector<Hypothesis> extend(const std::vector<Hypothesis>& prev, int i, bool isLong,
                               const std::vector<VoiceTrack>& tracks, const VoiceLinks& links,
                               const double rangeCost[2]) {
    std::vector<Hypothesis> next;
    std::map<std::pair<int, int>, size_t> byLast;
    for (size_t h = 0; h < prev.size(); ++h)
        for (int v = 0; v < 2; ++v) {
            Hypothesis n = prev[h];
            n.cost += rangeCost[v] + links.cost(prev[h].last[v], i, isLong);
            n.parent = static_cast<int>(h), n.cls = v;
            const int a = n.last[v];
            if (isLong && (a < 0 || tracks[i].last >= tracks[a].last)) n.last[v] = i;
            const auto [it, fresh] = byLast.try_emplace({n.last[0], n.last[1]}, next.size());
            if (fresh)
                next.push_back(n);
            else if (n.cost < next[it->second].cost)
                next[it->second] = n;
        }
    std::stable_sort(next.begin(), next.end(),
                     [](const Hypothesis& a, const Hypothesis& b) { return a.cost < b.cost; });
    if (next.size() > kBeam) next.resize(kBeam);
    return next;
}

// The classes (0, 1) that minimise the two-means' cost around the centres
// c plus the links' costs: each voice a chain of tracks in time, whose
// every next track should go on where its last one ended. A beam search
// over the tracks in order of their first frame.
std::vector<int> sequential_classes(const std::vector<VoiceTrack>& tracks,
                                    const std::vector<TrackEnds>& ends, const std::vector<double>& x,
                                    const std::vector<double>& w, const std::vector<double>& fit,
                                    const std::map<std::pair<int, int>, int>& shared,
                                    const double c[2]) {
    const LinkCosts costs;
    const VoiceLinks links(tracks, ends, shared, costs);
    const size_t n = tracks.size();
    // Per track, how each kept hypothesis came about: (parent, class).
    std::vector<std::vector<std::pair<int, int>>> steps(n);
    std::vector<Hypothesis> beam(1);
    for (size_t i = 0; i < n; ++i) {
        const double rangeCost[2] = {costs.range * w[i] * (x[i] - c[0]) * (x[i] - c[0]),
                                     costs.range * w[i] * (x[i] - c[1]) * (x[i] - c[1])};
        beam = extend(beam, static_cast<int>(i), fit[i] > 0.0, tracks, links, rangeCost);
        for (const Hypothesis& h : beam) steps[i].push_back({h.parent, h.cls});
    }
    std::vector<int> cls(n);
    for (int i = static_cast<int>(n) - 1, h = 0; i >= 0; --i) {
        cls[i] = steps[i][h].second;
        h = steps[i][h].first;
    }
    return cls;
}

// Centres of the two classes: log F0 means weighted by fit (kept where a
// class has no weight).
void class_centres(const std::vector<int>& cls, const std::vector<double>& x,
                   const std::vector<double>& fit, double c[2]) {
    double sw[2] = {0, 0}, swx[2] = {0, 0};
    for (size_t i = 0; i < x.size(); ++i) sw[cls[i]] += fit[i], swx[cls[i]] += fit[i] * x[i];
    for (int k = 0; k < 2; ++k)
        if (sw[k] > 0) c[k] = swx[k] / sw[k];
}

// Rounds of the sequential grouping, each around the centres of the last.
constexpr int kSequentialRounds = 3;

// The tracks' classes: the two-means' classes give the voices' centres, and
// the sequential grouping around them decides, a few rounds as the centres
// follow it.
std::vector<int> voice_classes(const std::vector<VoiceTrack>& tracks,
                               const std::vector<TrackEnds>& ends, const std::vector<double>& x,
                               const std::vector<double>& w, const std::vector<double>& fit,
                               const std::map<std::pair<int, int>, int>& shared) {
    std::vector<int> cls = two_classes(x, w, fit, shared);
    double c[2] = {0, 0};
    class_centres(cls, x, fit, c);
    if (c[0] != 0 && c[1] != 0 && std::fabs(c[1] - c[0]) >= std::log(kRangesApartRatio)) return cls;
    for (int round = 0; round < kSequentialRounds; ++round) {
        if (round > 0) class_centres(cls, x, fit, c);
        std::vector<int> next = sequential_classes(tracks, ends, x, w, fit, shared, c);
        if (next == cls) break;
        cls = std::move(next);
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
    std::vector<TrackEnds> ends;
    g.tracks = collect_tracks(f0Labels, f0Tracks, nframes, ends);
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
    const std::vector<int> cls = n > 1 ? voice_classes(g.tracks, ends, x, w, fit, shared)
                                       : std::vector<int>(1, 0);
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
