#include "kinematics/twiddle_table_cache.hpp"

#include <algorithm>
#include <utility>

namespace veltrix {

TwiddleTableCache::TwiddleTableCache(std::size_t byte_budget, std::size_t largest_table_bytes)
    : byte_budget_(byte_budget), largest_table_bytes_(std::min(largest_table_bytes, byte_budget)) {}

std::shared_ptr<const TwiddleTable> TwiddleTableCache::table_for(std::size_t sample_count) {
    // A table takes more bytes than it has samples, so this first test also keeps
    // byte_size_for away from lengths whose size would overflow.
    if (sample_count > largest_table_bytes_ || TwiddleTable::byte_size_for(sample_count) > largest_table_bytes_) {
        return nullptr;
    }
    {
        const std::lock_guard lock(mutex_);
        if (auto cached = promote_locked(sample_count)) return cached;
    }
    // Built without the lock: it costs as much as a direct transform. Two threads
    // missing the same length both build; the first to insert wins.
    auto built = std::make_shared<const TwiddleTable>(sample_count);
    const std::lock_guard lock(mutex_);
    if (auto cached = promote_locked(sample_count)) return cached;
    insert_locked(built);
    return built;
}

TwiddleTableCache::Usage TwiddleTableCache::usage() const {
    const std::lock_guard lock(mutex_);
    return {.tables = recency_.size(), .bytes = bytes_};
}

std::shared_ptr<const TwiddleTable> TwiddleTableCache::promote_locked(std::size_t sample_count) {
    const auto found = by_sample_count_.find(sample_count);
    if (found == by_sample_count_.end()) return nullptr;
    recency_.splice(recency_.begin(), recency_, found->second);
    return *found->second;
}

void TwiddleTableCache::insert_locked(std::shared_ptr<const TwiddleTable> table) {
    bytes_ += table->byte_size();
    const std::size_t sample_count = table->sample_count();
    recency_.push_front(std::move(table));
    by_sample_count_.emplace(sample_count, recency_.begin());
    while (bytes_ > byte_budget_) {  // the new table fits alone, so it is never the one evicted
        const TwiddleTable& oldest = *recency_.back();
        bytes_ -= oldest.byte_size();
        by_sample_count_.erase(oldest.sample_count());
        recency_.pop_back();
    }
}

TwiddleTableCache& shared_twiddle_tables() {
    static TwiddleTableCache cache(kSharedTwiddleBudgetBytes, kLargestSharedTwiddleTableBytes);
    return cache;
}

}  // namespace veltrix
