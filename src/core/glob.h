#pragma once
// Whole-key glob matching for KEYS patterns. Pure and thread-safe.

#include "core/bytes.h"

namespace vellum {

// Whole-key glob match: * ? [class] [^class] and backslash escapes; every pattern is valid.
bool glob_match(BytesView pattern, BytesView key);

}  // namespace vellum
