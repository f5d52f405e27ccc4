#include "trackers.h"

#include "jointtracker.h"

namespace {

struct Named {
    TrackerKind kind;
    const char* name;
};
constexpr Named kTrackers[] = {{TrackerKind::Rule, "rule"}, {TrackerKind::Joint, "joint"}};

}  // namespace

const char* tracker_name(TrackerKind kind) {
    for (const Named& t : kTrackers)
        if (t.kind == kind) return t.name;
    return "";
}

bool tracker_kind(const std::string& name, TrackerKind& kind) {
    for (const Named& t : kTrackers) {
        if (name == t.name) {
            kind = t.kind;
            return true;
        }
    }
    return false;
}

std::string tracker_names() {
    std::string out;
    for (const Named& t : kTrackers) out += (out.empty() ? "" : ", ") + std::string(t.name);
    return out;
}

std::unique_ptr<PitchTracker> make_tracker(TrackerKind kind) {
    if (kind == TrackerKind::Joint) return std::make_unique<JointTracker>();
    return std::make_unique<RuleTracker>();
}
