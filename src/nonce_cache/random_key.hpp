#pragma once
// Fresh hash keys from the operating system's random source.

#include "nonce_cache/siphash.hpp"

namespace veltrix {

// Ends the process if the random source fails: no input can cause that, and a
// predictable key would be worse than no service.
SipHashKey random_siphash_key() noexcept;

}  // namespace veltrix
