// The timing hook of corlune's pipeline: the stages report where each of
// their steps begins, so that a benchmark can time the real code. Without a
// timer nothing is measured and a report costs one test of a null pointer.
//
//     struct Clock : StageTimer {
//         void begin(Stage s) override { ... }  // the time since the last call
//     };                                       // belongs to the stage before
//     Clock clock;
//     model.compute(samples, srate, &clock);
#pragma once

enum class Stage {
    Idle,             // between stages: nothing is timed
    Filterbank,       // the gammatone filters
    Autocorrelation,  // windows, transforms and lag values
    FrameTests,       // silence, summary, voicing, normalisation
    Dendrites,        // Gabor kernels, the dendrite search and the spines' votes
    Spines,           // spine adjustment and channel assignment
    Candidates,       // F0 candidates and frame labels
    Tracker,          // the pitch tracker
    Fragments,        // fragments and mask
};

class StageTimer {
public:
    virtual ~StageTimer() = default;
    // Called when stage s begins; the previous stage ends here.
    virtual void begin(Stage s) = 0;
};

// Reports the start of stage s to timer, if there is one.
inline void mark(StageTimer* timer, Stage s) {
    if (timer) timer->begin(s);
}
