// The curvature entry points: convert the three series (copied from sequences, or
// read in place from float64 buffers), run the measure, build the four-entry dict.

#include <Python.h>

#include "curvature/curvature_metrics.hpp"
#include "module_surface/binding.hpp"
#include "module_surface/convert.hpp"
#include "module_surface/float64_buffer.hpp"
#include "module_surface/function_table.hpp"
#include "module_surface/method_def.hpp"
#include "module_surface/result_dict.hpp"

namespace veltrix::py {
namespace {

constexpr Signature<3> naturalness_signature{"evaluate_curvature_naturalness_rs", {"x", "y", "t"}};
constexpr Signature<3> zerocopy_signature{"evaluate_curvature_zerocopy_rs", {"x_obj", "y_obj", "t_obj"}};

PyObject* curvature_dict(const CurvatureMetrics& metrics) noexcept {
    static const StaticKey curvature_score{"curvature_score"}, mean_curvature{"mean_curvature"},
        curvature_var{"curvature_var"}, curvature_rate_var{"curvature_rate_var"};
    ResultDict result;
    result.add(curvature_score, metrics.curvature_score);
    result.add(mean_curvature, metrics.mean_curvature);
    result.add(curvature_var, metrics.curvature_var);
    result.add(curvature_rate_var, metrics.curvature_rate_var);
    return result.finish();
}

PyObject* evaluate_curvature_naturalness(PyObject*, PyObject* const* args, Py_ssize_t nargsf,
                                         PyObject* kwnames) noexcept {
    auto parsed = parse_arguments(naturalness_signature, {args, nargsf, kwnames}, as_doubles, as_doubles, as_doubles);
    if (!parsed) return nullptr;
    const auto& [x, y, t] = *parsed;
    return curvature_dict(compute_curvature_metrics(x, y, t));
}

PyObject* evaluate_curvature_zerocopy(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
    auto parsed = parse_arguments(zerocopy_signature, {args, nargsf, kwnames}, as_object, as_object, as_object);
    if (!parsed) return nullptr;
    const auto [x_obj, y_obj, t_obj] = *parsed;
    // An exporter's own refusal is raised as it is, without the parameter name.
    // Locals are destroyed in reverse order, so the views are released t, y, x
    // on every path, and only after the dict is built.
    const auto x = Float64Buffer::acquire(x_obj);
    if (!x) return nullptr;
    const auto y = Float64Buffer::acquire(y_obj);
    if (!y) return nullptr;
    const auto t = Float64Buffer::acquire(t_obj);
    if (!t) return nullptr;
    return curvature_dict(compute_curvature_metrics(x->items(), y->items(), t->items()));
}

}  // namespace

const PyMethodDef evaluate_curvature_naturalness_method = fast_call_method(
    naturalness_signature, evaluate_curvature_naturalness, "evaluate_curvature_naturalness_rs(x, y, t)\n--\n\n");
const PyMethodDef evaluate_curvature_zerocopy_method = fast_call_method(
    zerocopy_signature, evaluate_curvature_zerocopy, "evaluate_curvature_zerocopy_rs(x_obj, y_obj, t_obj)\n--\n\n");

}  // namespace veltrix::py
