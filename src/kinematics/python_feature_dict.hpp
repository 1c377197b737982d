#pragma once
// The 39-entry feature dict of a visit, shared by every entry point that
// extracts a visit's features (from a telemetry dict or from its JSON body),
// and the same values as items of a row tuple (the batch command's rows).

#include <Python.h>

#include "kinematics/visit_features.hpp"

namespace veltrix::py {

// A new dict of the features in their fixed order, or null with the failed
// insertion's error pending.
PyObject* new_feature_dict(const VisitFeatures& features) noexcept;

// Stores the feature values in their fixed order as items first, first + 1, ...
// of `tuple`, a new tuple with room for them whose items there are still unset.
void set_feature_items(const VisitFeatures& features, PyObject* tuple, Py_ssize_t first) noexcept;

}  // namespace veltrix::py
