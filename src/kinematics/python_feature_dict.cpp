#include "kinematics/python_feature_dict.hpp"

#include <array>
#include <string_view>

#include "module_surface/fatal.hpp"
#include "module_surface/result_dict.hpp"

namespace veltrix::py {
namespace {

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
            PyObject* key =
                created_or_die(PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size())),
                               "cannot create a feature key");
            PyUnicode_InternInPlace(&key);
            if (PyDict_SetItem(made.dict, key, Py_None) < 0) die("cannot lay out the feature dict");
            made.keys[index++] = key;
        });
        return made;
    }();
    return layout;
}

}  // namespace

PyObject* new_feature_dict(const VisitFeatures& features) noexcept {
    const FeatureLayout& layout = feature_layout();
    ResultDict result(layout.dict);
    std::size_t index = 0;
    for_each_feature(features, [&](std::string_view, auto value) { result.add(layout.keys[index++], value); });
    return result.finish();
}

void set_feature_items(const VisitFeatures& features, PyObject* tuple, Py_ssize_t first) noexcept {
    Py_ssize_t index = first;
    for_each_feature(
        features, [&](std::string_view, auto value) { PyTuple_SET_ITEM(tuple, index++, to_python(value).release()); });
}

}  // namespace veltrix::py
