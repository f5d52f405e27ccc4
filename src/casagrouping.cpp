#include "casagrouping.h"

#include <cmath>

CASAGrouping::CASAGrouping(const AcgModel& m, PitchTracker& t)
    : model(m), tracker(t),
      frmSegments(m.nframes, std::vector<int>(m.param.nchans, 0)),
      f0Candidates(m.nframes, std::vector<double>(4, 0.0)),
      f0Labels(m.nframes, std::vector<int>(2, 0)),
      f0Tracks(m.nframes, std::vector<double>(2, 0.0)),
      fragments(m.nframes, std::vector<int>(m.param.nchans, 0)),
      mask(m.nframes, std::vector<double>(m.param.nchans, 0.0)),
      sumAcg(m.nlags, 0.0),
      currAcg(m.param.nchans, std::vector<double>(m.nlags, 0.0)),
      gaborReal(m.param.nchans, std::vector<double>(30, 0.0)),
      gaborImag(m.param.nchans, std::vector<double>(30, 0.0)),
      minLag(static_cast<int>(std::ceil(static_cast<double>(m.srate) / 400.0)) + 1),
      maxLag(static_cast<int>(std::round(static_cast<double>(m.srate) / 71.4)) - 1) {
    if (m.nlags < maxLag) maxLag = m.nlags;
}

CASAGrouping::~CASAGrouping() = default;

void CASAGrouping::generate_fragments(const Matrix* x) {
    weights = x;
    tracker.track(f0Candidates, model.nframes, f0Labels, f0Tracks);
}

bool CASAGrouping::fragment_labels_wrap() const { return false; }
bool CASAGrouping::write_frmSegments(const char*) const { return true; }
bool CASAGrouping::write_f0Candidates(const char*) const { return true; }
bool CASAGrouping::write_f0Tracks(const char*) const { return true; }
bool CASAGrouping::write_fragments(const char*) const { return true; }
bool CASAGrouping::write_mask(const char*) const { return true; }
bool CASAGrouping::write_f0Labels(const char*) const { return true; }
