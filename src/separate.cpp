#include "separate.h"

#include "acgmodel.h"
#include "casagrouping.h"
#include "resynth.h"
#include "ruletracker.h"

VoiceAnalysis analyse_voices(const std::vector<double>& signal, int srate) {
    VoiceAnalysis a;
    a.error = check_signal(signal, srate);
    if (!a.error.empty()) return a;
    {
        AcgModel model(kDefaultAcgParam);
        model.compute(signal, srate);
        RuleTracker tracker;
        CASAGrouping grouping(model, tracker);
        grouping.generate_fragments(nullptr);
        a.nframes = model.nframes;
        a.fragments = std::move(grouping.fragments);
        a.mask = std::move(grouping.mask);
        a.f0Labels = std::move(grouping.f0Labels);
        a.f0Tracks = std::move(grouping.f0Tracks);
    }
    a.grouping = group_voices(a.f0Labels, a.f0Tracks, a.nframes);
    a.voiceLabels = voice_labels(a.fragments, a.grouping);
    for (int v = 0; v < 3; ++v) a.masks[v] = voice_mask(a.voiceLabels, a.mask, v);
    return a;
}

Separation separate(const std::vector<double>& signal, int srate) {
    Separation s;
    s.analysis = analyse_voices(signal, srate);
    s.error = s.analysis.error;
    if (!s.error.empty()) return s;
    const VoiceAnalysis& a = s.analysis;
    Resynthesis r = resynthesize_masks(signal, srate, {&a.masks[0], &a.masks[1], &a.masks[2]});
    s.error = r.error;
    if (!s.error.empty()) return s;
    for (int v = 0; v < 3; ++v) s.voices[v] = std::move(r.outputs[v]);
    return s;
}
