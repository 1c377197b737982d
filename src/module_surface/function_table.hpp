#pragma once
// The function records each subsystem's boundary defines; module.cpp registers
// them in the module's published order.

#include <Python.h>

namespace veltrix::py {

extern const PyMethodDef is_rust_core_active_method;
extern const PyMethodDef get_core_version_method;
extern const PyMethodDef extract_features_method;
extern const PyMethodDef evaluate_curvature_naturalness_method;
extern const PyMethodDef evaluate_curvature_zerocopy_method;
extern const PyMethodDef evaluate_keystroke_dynamics_method;
extern const PyMethodDef consume_nonce_method;
extern const PyMethodDef is_ip_banned_method;
extern const PyMethodDef ban_ip_method;
extern const PyMethodDef unban_ip_method;
extern const PyMethodDef hydrate_bans_method;
extern const PyMethodDef clear_state_engine_method;
extern const PyMethodDef get_state_engine_stats_method;

}  // namespace veltrix::py
