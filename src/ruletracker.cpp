#include "ruletracker.h"

PitchTracker::~PitchTracker() = default;
RuleTracker::~RuleTracker() = default;

void RuleTracker::track(const std::vector<std::vector<double>>&, int, std::vector<std::vector<int>>&,
                        std::vector<std::vector<double>>&) {}

void RuleTracker::remove_closeCands(std::vector<std::vector<double>>&, int) {}
