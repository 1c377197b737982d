#pragma once
// The process-wide home of the state engine: empty until the first call that
// needs it, then kept for the life of the process. One reader-writer lock
// guards the slot and the engine together.

#include <concepts>
#include <functional>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <utility>

#include "nonce_cache/state_engine.hpp"

namespace veltrix {

class EngineSlot {
  public:
    using MonotonicClock = MonotonicInstant (*)() noexcept;

    // `read_monotonic` dates the engine's first bucket when it is created.
    explicit EngineSlot(MonotonicClock read_monotonic) noexcept : read_monotonic_(read_monotonic) {}

    EngineSlot(const EngineSlot&) = delete;
    EngineSlot& operator=(const EngineSlot&) = delete;

    // Runs `update(StateEngine&)` under the exclusive lock.
    template <std::invocable<StateEngine&> Update>
    auto with_write_access(Update&& update) {
        std::unique_lock lock(mutex_);
        return std::invoke(std::forward<Update>(update), engine_created_if_empty());
    }

    // Runs `query(const StateEngine&)` under the shared lock. Only the very
    // first use, which must create the engine, runs it under the exclusive lock.
    template <std::invocable<const StateEngine&> Query>
    auto with_read_access(Query&& query) {
        {
            std::shared_lock lock(mutex_);
            if (engine_) return std::invoke(std::forward<Query>(query), std::as_const(*engine_));
        }
        std::unique_lock lock(mutex_);
        return std::invoke(std::forward<Query>(query), std::as_const(engine_created_if_empty()));
    }

  private:
    // Callers hold the exclusive lock, so the check and the creation cannot
    // interleave with another creator.
    StateEngine& engine_created_if_empty() {
        if (!engine_) engine_.emplace(read_monotonic_());
        return *engine_;
    }

    MonotonicClock read_monotonic_;
    std::shared_mutex mutex_;
    std::optional<StateEngine> engine_;
};

// The one slot of this process, reading the operating system's monotonic clock.
EngineSlot& shared_engine() noexcept;

}  // namespace veltrix
