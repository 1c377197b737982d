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

// The 39 key strings in the dictionary's order, interned once, and a dict laid
// out with them (values None) that every result starts from; kept for the process.
struct FeatureLayout {
    std::array<PyObject*, kVisitFeatureCount> keys{};
    PyObject* dict = nullptr;
};

const FeatureLayout& feature_layout() {
    static const FeatureLayout layout = [] {
        FeatureLayout made;
        made.dict = created_or_die(PyDict_New(), "cannot create the feature layout");
        std::size_t index = 0;
        for_each_feature(VisitFeatures{}, [&](std::string_view name, auto) {
            PyObject* key = created_or_die(
                PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size())),
                "cannot create a feature key");
            PyUnicode_InternInPlace(&key);
            if (PyDict_SetItem(made.dict, key, Py_None) < 0) die("cannot lay out the feature dict");
            made.keys[index++] = key;
        });
        return made;
    }();
    return layout;
}

PyObject* extract_features(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
    auto parsed = parse_arguments(extract_features_signature, {args, nargsf, kwnames}, as_object);
    if (!parsed) return nullptr;
    ParsedTelemetry telemetry;
    if (!read_telemetry(std::get<0>(*parsed), telemetry)) return nullptr;

    const VisitFeatures features = compute_visit_features(telemetry);

    const FeatureLayout& layout = feature_layout();
    ResultDict result(layout.dict);
    std::size_t index = 0;
    for_each_feature(features, [&](std::string_view, auto value) { result.add(layout.keys[index++], value); });
    return result.finish();
}

}  // namespace

const PyMethodDef extract_features_method =
    fast_call_method(extract_features_signature, extract_features, "extract_features_rs(telemetry)\n--\n\n");

}  // namespace veltrix::py
