// extract_features_rs: read the telemetry (the only step that runs Python code),
// compute every feature in plain C++, build the 39-entry dict in its fixed order.

#include <Python.h>

#include "kinematics/python_feature_dict.hpp"
#include "kinematics/python_telemetry_reader.hpp"
#include "kinematics/visit_features.hpp"
#include "module_surface/binding.hpp"
#include "module_surface/convert.hpp"
#include "module_surface/function_table.hpp"
#include "module_surface/method_def.hpp"

namespace veltrix::py {
namespace {

constexpr Signature<1> extract_features_signature{"extract_features_rs", {"telemetry"}};

PyObject* extract_features(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
    auto parsed = parse_arguments(extract_features_signature, {args, nargsf, kwnames}, as_object);
    if (!parsed) return nullptr;
    ParsedTelemetry telemetry;
    if (!read_telemetry(std::get<0>(*parsed), telemetry)) return nullptr;

    const VisitFeatures features = compute_visit_features(telemetry);

    return new_feature_dict(features);
}

}  // namespace

const PyMethodDef extract_features_method =
    fast_call_method(extract_features_signature, extract_features, "extract_features_rs(telemetry)\n--\n\n");

}  // namespace veltrix::py
