// extract_features_rs: read the telemetry (the only step that runs Python code),
// compute every feature in plain C++, build the 39-entry dict in its fixed order.

#include <Python.h>

#include <array>
#include <string_view>

#include "kinematics/python_telemetry_reader.hpp"
#include "kinematics/visit_features.hpp"
#include "module_surface/binding.hpp"
#include "module_surface/convert.hpp"
#include "module_surface/fatal.hpp"
#include "module_surface/function_table.hpp"
#include "module_surface/method_def.hpp"
#include "module_surface/result_dict.hpp"

namespace veltrix::py {
namespace {

constexpr Signature<1> extract_features_signature{"extract_features_rs", {"telemetry"}};

using FeatureKeys = std::array<PyObject*, kVisitFeatureCount>;

// The 39 key strings, interned once in the dictionary's order and kept for the process.
const FeatureKeys& feature_keys() {
    static const FeatureKeys keys = [] {
        FeatureKeys made{};
        std::size_t index = 0;
        for_each_feature(VisitFeatures{}, [&](std::string_view name, auto) {
            PyObject* key = created_or_die(
                PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size())),
                "cannot create a feature key");
            PyUnicode_InternInPlace(&key);
            made[index++] = key;
        });
        return made;
    }();
    return keys;
}

PyObject* extract_features(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
    auto parsed = parse_arguments(extract_features_signature, {args, nargsf, kwnames}, as_object);
    if (!parsed) return nullptr;
    const ParsedTelemetry telemetry = read_telemetry(std::get<0>(*parsed));

    const VisitFeatures features = compute_visit_features(telemetry);

    const FeatureKeys& keys = feature_keys();
    ResultDict result;
    std::size_t index = 0;
    for_each_feature(features, [&](std::string_view, auto value) { result.add(keys[index++], value); });
    return result.finish();
}

}  // namespace

const PyMethodDef extract_features_method =
    fast_call_method(extract_features_signature, extract_features, "extract_features_rs(telemetry)\n--\n\n");

}  // namespace veltrix::py
