// evaluate_keystroke_dynamics_rs: read the keystroke list leniently into records
// (all Python code runs here), analyse them, build the seven-entry dict.

#include <Python.h>

#include <optional>
#include <string_view>
#include <vector>

#include "keystrokes/keystroke_metrics.hpp"
#include "keystrokes/python_keystroke_reading.hpp"
#include "module_surface/binding.hpp"
#include "module_surface/convert.hpp"
#include "module_surface/function_table.hpp"
#include "module_surface/lenient_reading.hpp"
#include "module_surface/list_items.hpp"
#include "module_surface/method_def.hpp"
#include "module_surface/py_ref.hpp"
#include "module_surface/result_dict.hpp"

namespace veltrix::py {
namespace {

constexpr Signature<1> evaluate_keystroke_dynamics_signature{"evaluate_keystroke_dynamics_rs", {"keystrokes"}};
constexpr Py_ssize_t kTupleLength = 3;
constexpr KeystrokeDictRules kDictRules{{kDownField, kTField, kTimeField}, /*skips_releases=*/true};

// A float, or None for "no release time"; anything else fails.
std::optional<std::optional<double>> as_optional_double(PyObject* object) {
    if (object == Py_None) return std::optional<double>{};
    auto value = as_double(object);
    if (!value) return std::nullopt;
    return value;
}

[[gnu::noinline]] ItemRead read_keystroke_tuple_carefully(PyObject* borrowed_tuple, KeystrokeRecord& record) {
    const PyRef tuple = PyRef::borrow(borrowed_tuple);  // and so its items, while conversions run Python code
    const auto key = as_key_label(PyTuple_GET_ITEM(tuple.get(), 0));
    if (!key) return failed_item();
    const auto down = as_double(PyTuple_GET_ITEM(tuple.get(), 1));
    if (!down) return failed_item();
    const auto up = as_optional_double(PyTuple_GET_ITEM(tuple.get(), 2));
    if (!up) return failed_item();
    record = KeystrokeRecord{*key, *down, *up};
    return ItemRead::kept;
}

// (key, down, up) with up possibly None. Plain items are read without running Python code.
ItemRead read_keystroke_tuple(PyObject* tuple, KeystrokeRecord& record) {
    PyObject* up = PyTuple_GET_ITEM(tuple, 2);
    std::string_view key;
    double down = 0.0;
    double up_time = 0.0;
    if (plain_text(PyTuple_GET_ITEM(tuple, 0), key) && plain_double(PyTuple_GET_ITEM(tuple, 1), down) &&
        (up == Py_None || plain_double(up, up_time))) {
        record = KeystrokeRecord{KeyLabel(key), down, up == Py_None ? std::nullopt : std::optional(up_time)};
        return ItemRead::kept;
    }
    return read_keystroke_tuple_carefully(tuple, record);
}

// False when the reading stopped with an error that must reach the caller.
bool read_keystroke_list(PyObject* keystrokes, std::vector<KeystrokeRecord>& records) {
    if (!PyList_Check(keystrokes)) return true;
    records.reserve(static_cast<std::size_t>(PyList_GET_SIZE(keystrokes)));
    return read_list_items(keystrokes, PY_SSIZE_T_MAX, [&](PyObject* item) {
        KeystrokeRecord record;
        ItemRead outcome = ItemRead::skipped;
        // No type is both a tuple and a dict, so at most one form applies.
        if (PyTuple_Check(item) && PyTuple_GET_SIZE(item) == kTupleLength) {
            outcome = read_keystroke_tuple(item, record);
        } else if (PyDict_Check(item)) {
            outcome = read_keystroke_dict(item, kDictRules, record);
        }
        if (outcome == ItemRead::kept) records.push_back(record);
        return outcome;
    });
}

PyObject* evaluate_keystroke_dynamics(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
    static const StaticKey key_count{"key_count"}, avg_dwell_time{"avg_dwell_time"}, dwell_time_var{"dwell_time_var"},
        avg_flight_time{"avg_flight_time"}, flight_time_var{"flight_time_var"}, digraph_entropy{"digraph_entropy"},
        keystroke_score{"keystroke_score"};

    auto parsed = parse_arguments(evaluate_keystroke_dynamics_signature, {args, nargsf, kwnames}, as_object);
    if (!parsed) return nullptr;
    std::vector<KeystrokeRecord> records;
    if (!read_keystroke_list(std::get<0>(*parsed), records)) return nullptr;

    const KeystrokeMetrics metrics = compute_keystroke_metrics(records);

    ResultDict result;
    result.add(key_count, metrics.key_count);
    result.add(avg_dwell_time, metrics.avg_dwell_time);
    result.add(dwell_time_var, metrics.dwell_time_var);
    result.add(avg_flight_time, metrics.avg_flight_time);
    result.add(flight_time_var, metrics.flight_time_var);
    result.add(digraph_entropy, metrics.digraph_entropy);
    result.add(keystroke_score, metrics.keystroke_score);
    return result.finish();
}

}  // namespace

const PyMethodDef evaluate_keystroke_dynamics_method =
    fast_call_method(evaluate_keystroke_dynamics_signature, evaluate_keystroke_dynamics,
                     "evaluate_keystroke_dynamics_rs(keystrokes)\n--\n\n");

}  // namespace veltrix::py
