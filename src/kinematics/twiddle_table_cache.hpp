#pragma once
// Recently used twiddle tables, kept within a byte budget. Visits whose speed
// series have the same length share a table, and every visit with 300 or more
// pointer samples uses the one for 299 speeds; a spectrum whose table is cached
// evaluates no sine or cosine at all.
//
// Thread safety: one mutex guards the index; it is held only to look up, insert
// or evict, never while a table is built. Tables are immutable and handed out
// as shared pointers, so a table evicted while a caller still reads it lives on
// until that caller lets go. The budget therefore bounds what the cache keeps;
// tables in use by concurrent callers may briefly add to it.

#include <cstddef>
#include <list>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "kinematics/twiddle_table.hpp"

namespace veltrix {

class TwiddleTableCache {
  public:
    struct Usage {
        std::size_t tables = 0;
        std::size_t bytes = 0;
    };

    // Tables larger than `largest_table_bytes`, or than the whole budget, are not made at all.
    TwiddleTableCache(std::size_t byte_budget, std::size_t largest_table_bytes);

    // The table for `sample_count` samples, built on a miss after evicting the least
    // recently used tables it displaces; null when that table would be too large.
    std::shared_ptr<const TwiddleTable> table_for(std::size_t sample_count);

    Usage usage() const;

  private:
    using Recency = std::list<std::shared_ptr<const TwiddleTable>>;  // most recent first

    std::shared_ptr<const TwiddleTable> promote_locked(std::size_t sample_count);
    void insert_locked(std::shared_ptr<const TwiddleTable> table);

    const std::size_t byte_budget_;
    const std::size_t largest_table_bytes_;
    mutable std::mutex mutex_;
    Recency recency_;
    std::unordered_map<std::size_t, Recency::iterator> by_sample_count_;
    std::size_t bytes_ = 0;
};

// Room for the 299-speed table of the longest visits plus the tables of every
// length up to about 180 speeds at once: shorter visits come in all lengths, and
// a miss costs as much as the direct transform (about 150 us at 149 speeds).
inline constexpr std::size_t kSharedTwiddleBudgetBytes = 16u << 20;
// Covers every length the kinematics pass (at most 299 speeds, 0.7 MiB); longer
// series are transformed directly.
inline constexpr std::size_t kLargestSharedTwiddleTableBytes = 1u << 20;

// The process-wide cache used by compute_power_spectrum.
TwiddleTableCache& shared_twiddle_tables();

}  // namespace veltrix
