#include "kinematics/visit_features.hpp"

namespace veltrix {

VisitFeatures compute_visit_features(const ParsedTelemetry& telemetry) {
    VisitFeatures features;
    features.touch = compute_touch_features(telemetry.points);
    features.device = compute_device_features(telemetry);
    if (!telemetry.keystrokes.empty()) {
        features.keystrokes = compute_keystroke_metrics(telemetry.keystrokes);
    }
    features.mouse = compute_mouse_kinematics(telemetry.points);
    return features;
}

}  // namespace veltrix
