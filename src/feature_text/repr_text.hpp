#pragma once
// Python's repr() of floats and ints, written without the interpreter: text
// outputs of many visits spend as long formatting each visit's values with
// repr() as extracting them. The text is repr()'s to the character: the
// shortest digits that read back to the same double, in fixed notation for
// magnitudes from 1e-4 up to 1e16 (with ".0" when there is no fraction), in
// exponent notation ("1e-05", "1.5e+16") otherwise; "nan", "inf", "-inf".

#include <cstdint>
#include <string>

namespace veltrix::text {

void append_float_repr(std::string& out, double value);
void append_int_repr(std::string& out, std::int64_t value);

}  // namespace veltrix::text
