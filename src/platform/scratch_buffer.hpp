#pragma once
// Working storage of one call: inside the object itself, on the caller's stack,
// up to a capacity chosen for the series ordinary visits have, and on the heap
// beyond it. An ordinary visit's analyses then make no allocation, which on a
// short series costs more than the arithmetic.

#include <array>
#include <cstddef>
#include <memory>
#include <span>
#include <type_traits>

namespace veltrix {

// `size` elements, left uninitialised: every user writes an element before
// reading it. Neither copied nor moved, since the elements may lie inside it.
template <class T, std::size_t kInlineCapacity>
class ScratchBuffer {
    static_assert(std::is_trivially_default_constructible_v<T> && std::is_trivially_destructible_v<T>,
                  "elements are neither initialised nor destroyed");

  public:
    explicit ScratchBuffer(std::size_t size)
        : heap_(size > kInlineCapacity ? std::make_unique_for_overwrite<T[]>(size) : nullptr),
          elements_(heap_ ? heap_.get() : inline_.data(), size) {}
    ScratchBuffer(const ScratchBuffer&) = delete;
    ScratchBuffer& operator=(const ScratchBuffer&) = delete;

    std::span<T> elements() { return elements_; }
    std::span<const T> elements() const { return elements_; }

  private:
    std::array<T, kInlineCapacity> inline_;  // default-initialised: no cost for the unused part
    std::unique_ptr<T[]> heap_;
    std::span<T> elements_;
};

}  // namespace veltrix
