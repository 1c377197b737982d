#pragma once
// The stored bans in expiry order: a binary min-heap in which every ban keeps
// its own position, so a replaced or lifted ban is moved or removed in
// O(log n) without a search, and no memory is allocated per ban.

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace veltrix {

struct BanState {
    std::uint64_t expiry = 0;
    std::size_t heap_position = 0;  // kept up to date by BanExpiryHeap
};

// An address and its ban, as the ban table's map stores them; the heap holds
// pointers to these, which stay valid until the entry is erased.
using BanEntry = std::pair<const std::string, BanState>;

class BanExpiryHeap {
  public:
    bool empty() const noexcept { return heap_.empty(); }

    // The ban that ends first; the heap must not be empty.
    BanEntry& earliest() noexcept { return *heap_.front(); }

    // Adds a ban whose expiry is set.
    void insert(BanEntry& ban);
    // Moves a ban to its place after its expiry changed.
    void reorder(BanEntry& ban) noexcept;
    void erase(BanEntry& ban) noexcept;
    void clear() noexcept { heap_.clear(); }

  private:
    void sift_up(std::size_t position) noexcept;
    void sift_down(std::size_t position) noexcept;
    void place(std::size_t position, BanEntry* ban) noexcept;

    std::vector<BanEntry*> heap_;
};

}  // namespace veltrix
