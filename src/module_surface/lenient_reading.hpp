#pragma once
// Lenient reading of visitor-supplied data (telemetry, keystroke lists): a value
// that cannot be read leaves a default or drops its item, and its error is
// cleared. Only ordinary errors are absorbed that way. An interrupt, an exit, a
// MemoryError or a RecursionError says nothing about the data: it stops the
// call at once and reaches the caller unchanged, so that no answer is computed
// from a visit read in part.

#include <Python.h>

namespace veltrix::py {

// After a failed read: clears the pending exception and returns true when it is
// an ordinary error (an Exception other than MemoryError and RecursionError);
// otherwise leaves it pending and returns false, and the reading must stop.
[[nodiscard]] bool absorb_if_ordinary() noexcept;

// What reading one item of a list came to.
enum class ItemRead : unsigned char {
    kept,     // the item's record was filled
    skipped,  // the item is left out
    stopped,  // an exception that must reach the caller is pending
};

// What a plain reader, which runs no Python code, made of an item: declined
// items are read again by the careful reader.
enum class PlainRead : unsigned char { kept, skipped, declined };

// The outcome of an item whose reading failed with the pending exception.
inline ItemRead failed_item() noexcept { return absorb_if_ordinary() ? ItemRead::skipped : ItemRead::stopped; }

}  // namespace veltrix::py
