// The choice of pitch tracker: the names the command line (--tracker) and
// library callers use, and a factory of the tracker a name stands for.
//
//     TrackerKind kind;
//     if (!tracker_kind("joint", kind)) ...;      // not a tracker's name
//     std::unique_ptr<PitchTracker> t = make_tracker(kind);
//     t->track(candidates, nframes, labels, tracks);
//
// rule: RuleTracker (ruletracker.h), the default, whose results the golden
// digests guard. joint: JointTracker (jointtracker.h) with its tuned costs
// and its fixed lag, so its memory is bounded on any input length.
#pragma once

#include <memory>
#include <string>

#include "ruletracker.h"

enum class TrackerKind { Rule, Joint };

constexpr TrackerKind kDefaultTracker = TrackerKind::Rule;

// "rule" or "joint".
const char* tracker_name(TrackerKind kind);
// The kind named name; false (kind unchanged) when name is no tracker's.
bool tracker_kind(const std::string& name, TrackerKind& kind);
// The names, for messages: "rule, joint".
std::string tracker_names();

std::unique_ptr<PitchTracker> make_tracker(TrackerKind kind);
