#include "nonce_cache/shared_engine.hpp"

#include "nonce_cache/clocks.hpp"

namespace veltrix {

EngineSlot& shared_engine() noexcept {
    // Never destroyed: the engine must outlive any call that arrives while the
    // interpreter shuts down, and the operating system reclaims it at exit.
    static EngineSlot* const slot = new EngineSlot(monotonic_now);
    return *slot;
}

}  // namespace veltrix
