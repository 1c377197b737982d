// The state engine's Python functions: convert (all Python code runs here), read
// the clocks, run the engine under its lock, build the result.

#include <Python.h>

#include <cstdint>
#include <string_view>
#include <tuple>

#include "module_surface/binding.hpp"
#include "module_surface/convert.hpp"
#include "module_surface/function_table.hpp"
#include "module_surface/method_def.hpp"
#include "module_surface/result_dict.hpp"
#include "nonce_cache/clocks.hpp"
#include "nonce_cache/shared_engine.hpp"

namespace veltrix::py {
namespace {

constexpr Signature<1> consume_nonce_signature{"consume_nonce_rs", {"nonce"}};
constexpr Signature<1> is_ip_banned_signature{"is_ip_banned_rs", {"ip"}};
constexpr Signature<2> ban_ip_signature{"ban_ip_rs", {"ip", "duration_sec"}};
constexpr Signature<1> unban_ip_signature{"unban_ip_rs", {"ip"}};
constexpr Signature<1> hydrate_bans_signature{"hydrate_bans_rs", {"bans"}};

PyObject* consume_nonce(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
    auto parsed = parse_arguments(consume_nonce_signature, {args, nargsf, kwnames}, as_borrowed_text);
    if (!parsed) return nullptr;
    const std::string_view nonce = std::get<0>(*parsed);
    const NonceCheck check = shared_engine().with_write_access(
        [&](StateEngine& engine) { return engine.consume_nonce(nonce, monotonic_now(), monotonic_now); });
    if (check == NonceCheck::bucket_full) {
        // Refused, never accepted: a caller that sees no answer must not let the request through.
        PyErr_SetString(PyExc_MemoryError, "the current nonce bucket has no room for a nonce of this length");
        return nullptr;
    }
    return PyBool_FromLong(check == NonceCheck::fresh);
}

PyObject* is_ip_banned(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
    auto parsed = parse_arguments(is_ip_banned_signature, {args, nargsf, kwnames}, as_borrowed_text);
    if (!parsed) return nullptr;
    const std::string_view ip = std::get<0>(*parsed);
    const std::uint64_t now = wall_clock_seconds();
    const bool banned =
        shared_engine().with_read_access([&](const StateEngine& engine) { return engine.is_ip_banned(ip, now); });
    return PyBool_FromLong(banned);
}

PyObject* ban_ip(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
    auto parsed = parse_arguments(ban_ip_signature, {args, nargsf, kwnames}, as_borrowed_text, as_u64);
    if (!parsed) return nullptr;
    const std::string_view ip = std::get<0>(*parsed);
    const std::uint64_t duration_sec = std::get<1>(*parsed);
    const std::uint64_t now = wall_clock_seconds();
    const std::uint64_t expiry = saturating_expiry(now, duration_sec);
    shared_engine().with_write_access([&](StateEngine& engine) { engine.ban_ip(ip, expiry, now); });
    Py_RETURN_NONE;
}

PyObject* unban_ip(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
    auto parsed = parse_arguments(unban_ip_signature, {args, nargsf, kwnames}, as_borrowed_text);
    if (!parsed) return nullptr;
    const std::string_view ip = std::get<0>(*parsed);
    shared_engine().with_write_access([&](StateEngine& engine) { engine.unban_ip(ip); });
    Py_RETURN_NONE;
}

PyObject* hydrate_bans(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
    auto parsed = parse_arguments(hydrate_bans_signature, {args, nargsf, kwnames}, as_address_expiry_pairs);
    if (!parsed) return nullptr;
    const auto& bans = std::get<0>(*parsed);
    // The clock is read under the lock, so no pair can expire between reading and merging.
    shared_engine().with_write_access([&](StateEngine& engine) { engine.hydrate_bans(bans, wall_clock_seconds()); });
    Py_RETURN_NONE;
}

PyObject* clear_state_engine(PyObject*, PyObject*) noexcept {
    shared_engine().with_write_access([](StateEngine& engine) { engine.clear(monotonic_now()); });
    Py_RETURN_NONE;
}

PyObject* get_state_engine_stats(PyObject*, PyObject*) noexcept {
    static const StaticKey current_key{"current_bucket_nonces"};
    static const StaticKey previous_key{"previous_bucket_nonces"};
    static const StaticKey active_bans_key{"active_ip_bans"};
    const std::uint64_t now = wall_clock_seconds();
    // Exclusive: counting the active bans forgets the expired ones.
    const StateEngineStats stats =
        shared_engine().with_write_access([&](StateEngine& engine) { return engine.stats(now); });
    ResultDict result;
    result.add(current_key, std::uint64_t{stats.current_bucket_nonces});
    result.add(previous_key, std::uint64_t{stats.previous_bucket_nonces});
    result.add(active_bans_key, std::uint64_t{stats.active_ip_bans});
    return result.finish();
}

}  // namespace

const PyMethodDef consume_nonce_method =
    fast_call_method(consume_nonce_signature, consume_nonce, "consume_nonce_rs(nonce)\n--\n\n");
const PyMethodDef is_ip_banned_method =
    fast_call_method(is_ip_banned_signature, is_ip_banned, "is_ip_banned_rs(ip)\n--\n\n");
const PyMethodDef ban_ip_method = fast_call_method(ban_ip_signature, ban_ip, "ban_ip_rs(ip, duration_sec)\n--\n\n");
const PyMethodDef unban_ip_method = fast_call_method(unban_ip_signature, unban_ip, "unban_ip_rs(ip)\n--\n\n");
const PyMethodDef hydrate_bans_method =
    fast_call_method(hydrate_bans_signature, hydrate_bans, "hydrate_bans_rs(bans)\n--\n\n");
const PyMethodDef clear_state_engine_method =
    no_args_method("clear_state_engine_rs", clear_state_engine, "clear_state_engine_rs()\n--\n\n");
const PyMethodDef get_state_engine_stats_method =
    no_args_method("get_state_engine_stats_rs", get_state_engine_stats, "get_state_engine_stats_rs()\n--\n\n");

}  // namespace veltrix::py
