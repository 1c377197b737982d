#include "module_surface/convert.hpp"

#include <algorithm>
#include <cstring>

#include "module_surface/lenient_reading.hpp"

namespace veltrix::py {
namespace {

// A size hint comes from __len__, which hostile objects can make arbitrarily large;
// beyond this many items the vector simply grows as items actually arrive.
constexpr Py_ssize_t kMaxReservedItems = Py_ssize_t{1} << 20;

bool text_equals(PyObject* str, const char* expected) noexcept {
    return str != nullptr && PyUnicode_Check(str) && PyUnicode_CompareWithASCIIString(str, expected) == 0;
}

// NumPy is recognised by its type's module and name only: no import, no link.
// Nothing when finding out raised an error that must reach the caller (the
// type's own __getattribute__ can run Python code), with that error pending.
std::optional<bool> is_numpy_bool_type(PyTypeObject* type) noexcept {
    PyRef name = PyRef::steal(PyType_GetName(type));
    if (!text_equals(name.get(), "bool_") && !text_equals(name.get(), "bool")) {
        if (!absorb_if_ordinary()) return std::nullopt;
        return false;
    }
    PyRef module = PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__"));
    const bool from_numpy = text_equals(module.get(), "numpy");
    if (!absorb_if_ordinary()) return std::nullopt;
    return from_numpy;
}

// Reads any sequence but str through the iterator protocol, one converted item at a time.
template <class ConvertItem>
auto read_sequence(PyObject* object, ConvertItem convert_item)
    -> std::optional<std::vector<typename std::invoke_result_t<ConvertItem, PyObject*>::value_type>> {
    if (PyUnicode_Check(object)) {
        PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
        return std::nullopt;
    }
    if (!PySequence_Check(object)) {
        set_conversion_error(object, "Sequence");
        return std::nullopt;
    }
    Py_ssize_t size_hint = PySequence_Size(object);
    if (size_hint < 0) {
        if (!absorb_if_ordinary()) return std::nullopt;
        size_hint = 0;
    }
    PyRef iterator = PyRef::steal(PyObject_GetIter(object));
    if (!iterator) {
        ensure_error_set();
        return std::nullopt;
    }
    std::vector<typename std::invoke_result_t<ConvertItem, PyObject*>::value_type> items;
    items.reserve(static_cast<std::size_t>(std::min(size_hint, kMaxReservedItems)));
    while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
        auto value = convert_item(item.get());
        if (!value) return std::nullopt;
        items.push_back(std::move(*value));
    }
    if (PyErr_Occurred()) return std::nullopt;
    return items;
}

std::optional<AddressExpiry> as_address_expiry(PyObject* element) {
    if (!PyTuple_Check(element)) {
        set_conversion_error(element, "PyTuple");
        return std::nullopt;
    }
    constexpr Py_ssize_t kPairLength = 2;
    if (PyTuple_GET_SIZE(element) != kPairLength) {
        PyErr_Format(PyExc_ValueError, "expected tuple of length %zd, but got tuple of length %zd", kPairLength,
                     PyTuple_GET_SIZE(element));
        return std::nullopt;
    }
    // Tuples are immutable, so their items live as long as the element we hold.
    auto address = as_owned_text(PyTuple_GET_ITEM(element, 0));
    if (!address) return std::nullopt;
    auto expiry = as_u64(PyTuple_GET_ITEM(element, 1));
    if (!expiry) return std::nullopt;
    return AddressExpiry{std::move(*address), *expiry};
}

}  // namespace

void ensure_error_set() noexcept {
    if (!PyErr_Occurred()) {
        PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    }
}

void set_conversion_error(PyObject* object, const char* target) noexcept {
    PyRef type_name = PyRef::steal(PyType_GetQualName(Py_TYPE(object)));
    if (type_name) {
        PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", type_name.get(), target);
    } else {
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError, "'<failed to extract type name>' object cannot be converted to '%s'", target);
    }
}

std::optional<PyObject*> as_object(PyObject* object) noexcept { return object; }

std::optional<std::string_view> as_borrowed_text(PyObject* object) noexcept {
    if (!PyUnicode_Check(object)) {
        set_conversion_error(object, "PyString");
        return std::nullopt;
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(object, &size);
    if (utf8 == nullptr) {
        ensure_error_set();
        return std::nullopt;
    }
    return std::string_view(utf8, static_cast<std::size_t>(size));
}

std::optional<std::string> as_owned_text(PyObject* object) {
    auto text = as_borrowed_text(object);
    if (!text) return std::nullopt;
    return std::string(*text);
}

std::optional<double> as_double(PyObject* object) noexcept {
    if (double plain = 0.0; plain_double(object, plain)) return plain;
    const double value = PyFloat_AsDouble(object);
    if (value == -1.0 && PyErr_Occurred()) return std::nullopt;
    return value;
}

std::optional<std::int64_t> as_i64(PyObject* object) noexcept {
    static_assert(sizeof(long long) == sizeof(std::int64_t));
    if (std::int64_t plain = 0; plain_i64(object, plain)) return plain;
    const long long value = PyLong_AsLongLong(object);
    if (value == -1 && PyErr_Occurred()) return std::nullopt;
    return static_cast<std::int64_t>(value);
}

std::optional<std::uint64_t> as_u64(PyObject* object) noexcept {
    static_assert(sizeof(unsigned long long) == sizeof(std::uint64_t));
    PyRef integer = PyLong_Check(object) ? PyRef::borrow(object) : PyRef::steal(PyNumber_Index(object));
    if (!integer) {
        ensure_error_set();
        return std::nullopt;
    }
    const unsigned long long value = PyLong_AsUnsignedLongLong(integer.get());
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return std::nullopt;
    return static_cast<std::uint64_t>(value);
}

std::optional<bool> as_flag(PyObject* object) noexcept {
    if (object == Py_True) return true;
    if (object == Py_False) return false;
    PyTypeObject* type = Py_TYPE(object);
    const std::optional<bool> numpy_bool = is_numpy_bool_type(type);
    if (!numpy_bool) return std::nullopt;
    if (!*numpy_bool) {
        set_conversion_error(object, "PyBool");
        return std::nullopt;
    }
    auto truth_slot = reinterpret_cast<inquiry>(PyType_GetSlot(type, Py_nb_bool));
    if (truth_slot == nullptr) {
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError, "object of type '%S' does not define a '__bool__' conversion",
                     reinterpret_cast<PyObject*>(type));
        return std::nullopt;
    }
    switch (truth_slot(object)) {
        case 0: return false;
        case 1: return true;
        default: ensure_error_set(); return std::nullopt;
    }
}

std::optional<std::vector<double>> as_doubles(PyObject* object) {
    // Plain items are read in the loop itself: most series are lists of floats.
    return read_sequence(object, [](PyObject* item) {
        double plain = 0.0;
        return plain_double(item, plain) ? std::optional(plain) : as_double(item);
    });
}

std::optional<std::vector<AddressExpiry>> as_address_expiry_pairs(PyObject* object) {
    return read_sequence(object, as_address_expiry);
}

PyRef find_field(PyObject* dict, PyObject* key) noexcept { return PyRef::borrow(PyDict_GetItemWithError(dict, key)); }

}  // namespace veltrix::py
