#pragma once
// The 39-entry feature dict of a visit, shared by every entry point that
// extracts a visit's features (from a telemetry dict or from its JSON body).

#include <Python.h>

#include "kinematics/visit_features.hpp"

namespace veltrix::py {

// A new dict of the features in their fixed order, or null with the failed
// insertion's error pending.
PyObject* new_feature_dict(const VisitFeatures& features) noexcept;

}  // namespace veltrix::py
