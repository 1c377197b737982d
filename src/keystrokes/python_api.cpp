// evaluate_keystroke_dynamics_rs: read the keystroke list leniently into records
// (all Python code runs here), analyse them, build the seven-entry dict.

#include <Python.h>

#include <array>
#include <vector>

#include "keystrokes/keystroke_metrics.hpp"
#include "keystrokes/python_keystroke_reading.hpp"
#include "module_surface/binding.hpp"
#include "module_surface/convert.hpp"
#include "module_surface/field_reader.hpp"
#include "module_surface/function_table.hpp"
#include "module_surface/list_items.hpp"
#include "module_surface/method_def.hpp"
#include "module_surface/result_dict.hpp"

namespace veltrix::py {
namespace {

constexpr Signature<1> evaluate_keystroke_dynamics_signature{"evaluate_keystroke_dynamics_rs", {"keystrokes"}};

// A float, or None for "no release time"; anything else fails.
std::optional<std::optional<double>> as_optional_double(PyObject* object) {
    if (object == Py_None) return std::optional<double>{};
    auto value = as_double(object);
    if (!value) return std::nullopt;
    return value;
}

// (key, down, up) with up possibly None; the tuple is immutable and held by the caller.
std::optional<KeystrokeRecord> record_from_tuple(PyObject* item) {
    constexpr Py_ssize_t kTupleLength = 3;
    if (!PyTuple_Check(item) || PyTuple_GET_SIZE(item) != kTupleLength) return std::nullopt;
    auto key = or_cleared(as_borrowed_text(PyTuple_GET_ITEM(item, 0)));
    if (!key) return std::nullopt;
    auto down = or_cleared(as_double(PyTuple_GET_ITEM(item, 1)));
    if (!down) return std::nullopt;
    auto up = or_cleared(as_optional_double(PyTuple_GET_ITEM(item, 2)));
    if (!up) return std::nullopt;
    return KeystrokeRecord{KeyLabel(*key), *down, *up};
}

std::optional<KeystrokeRecord> record_from_dict(PyObject* item) {
    static const StaticKey type{"type"}, down{"down"}, t{"t"}, time{"time"};
    static const std::array<const StaticKey*, 7> fields = {
        &type, &down, &t, &time, &KeystrokeFields::key, &KeystrokeFields::up, &KeystrokeFields::duration_ms};
    if (!PyDict_Check(item)) return std::nullopt;
    FieldReader reader(item, fields);
    // A release reported as an item of its own is not a key press.
    const auto item_type = reader.read(type, as_borrowed_text);
    if (item_type && *item_type == "up") return std::nullopt;
    return keystroke_from_dict(reader, {&down, &t, &time});
}

std::vector<KeystrokeRecord> read_keystroke_list(PyObject* keystrokes) {
    std::vector<KeystrokeRecord> records;
    if (!PyList_Check(keystrokes)) return records;
    records.reserve(static_cast<std::size_t>(PyList_GET_SIZE(keystrokes)));
    for_each_list_item(keystrokes, PY_SSIZE_T_MAX, [&](PyObject* item) {
        auto record = record_from_tuple(item);
        if (!record) record = record_from_dict(item);
        if (record) records.push_back(std::move(*record));
    });
    return records;
}

PyObject* evaluate_keystroke_dynamics(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
    static const StaticKey key_count{"key_count"}, avg_dwell_time{"avg_dwell_time"}, dwell_time_var{"dwell_time_var"},
        avg_flight_time{"avg_flight_time"}, flight_time_var{"flight_time_var"}, digraph_entropy{"digraph_entropy"},
        keystroke_score{"keystroke_score"};

    auto parsed = parse_arguments(evaluate_keystroke_dynamics_signature, {args, nargsf, kwnames}, as_object);
    if (!parsed) return nullptr;
    const std::vector<KeystrokeRecord> records = read_keystroke_list(std::get<0>(*parsed));

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
