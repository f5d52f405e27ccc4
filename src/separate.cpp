#include "separate.h"

#include "acgmodel.h"
#include "casagrouping.h"
#include "resynth.h"

namespace {

// The agreements of every frame of the model with its candidates.
PitchEvidence pitch_evidence(const AcgModel& model, const Matrix& candidates) {
    PitchEvidence evidence(model.param.nchans);
    std::vector<const double*> rows(model.param.nchans);
    std::vector<float> agreement(kCandidates * model.param.nchans);
    for (int f = 0; f < model.nframes; ++f) {
        model_frame_rows(model.acg, model.param.nchans, f, model.nlags, rows.data());
        const FrameRows raw{rows.data(), model.param.nchans, model.nlags};
        candidate_agreement(raw, candidates[f].data(), model.srate, agreement.data());
        evidence.append(candidates[f].data(), agreement.data());
    }
    return evidence;
}

}  // namespace

VoiceAnalysis analyse_voices(const std::vector<double>& signal, int srate, TrackerKind tracker) {
    VoiceAnalysis a;
    a.error = check_signal(signal, srate);
    if (!a.error.empty()) return a;
    {
        AcgModel model(kDefaultAcgParam);
        model.compute(signal, srate);
        const std::unique_ptr<PitchTracker> t = make_tracker(tracker);
        CASAGrouping grouping(model, *t);
        grouping.generate_fragments(nullptr);
        a.nframes = model.nframes;
        a.fragments = std::move(grouping.fragments);
        a.mask = std::move(grouping.mask);
        a.f0Labels = std::move(grouping.f0Labels);
        a.f0Tracks = std::move(grouping.f0Tracks);
        a.evidence = pitch_evidence(model, grouping.f0Candidates);
    }
    form_voices(a);
    a.pitchLabels =
        pitch_voice_labels(a.evidence, a.f0Labels, a.f0Tracks, a.grouping, a.voiceLabels);
    const Matrix ones = ones_like(a.pitchLabels);
    for (int v = 0; v < 3; ++v) a.pitchMasks[v] = voice_mask(a.pitchLabels, ones, v);
    return a;
}

void form_voices(VoiceAnalysis& a) {
    a.grouping = group_voices(a.f0Labels, a.f0Tracks, a.nframes);
    a.voiceLabels = voice_labels(a.fragments, a.grouping);
    for (int v = 0; v < 3; ++v) a.masks[v] = voice_mask(a.voiceLabels, a.mask, v);
}

Separation separate(const std::vector<double>& signal, int srate, TrackerKind tracker) {
    Separation s;
    s.analysis = analyse_voices(signal, srate, tracker);
    s.error = s.analysis.error;
    if (!s.error.empty()) return s;
    const VoiceAnalysis& a = s.analysis;
    Resynthesis r = resynthesize_masks(signal, srate, {&a.masks[0], &a.masks[1], &a.masks[2]});
    s.error = r.error;
    if (!s.error.empty()) return s;
    for (int v = 0; v < 3; ++v) s.voices[v] = std::move(r.outputs[v]);
    return s;
}
