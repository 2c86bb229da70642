// Conversions of parsed arguments to core values: qubit indices and counts
// through the index protocol, angles through the float protocol narrowed to
// single precision. Failures follow the argument-name rule.
#pragma once

#include <cstdint>

#include "object.hpp"

namespace vastrel::py {

// Any object with __index__ (int, bool, NumPy integers), 0 to 2^64 - 1.
std::uint64_t extract_u64(Handle obj, const char* name);

// A float read directly, anything else through __float__/__index__; then
// rounded to the nearest single-precision value (overflow gives infinity).
float extract_f32(Handle obj, const char* name);

}  // namespace vastrel::py
