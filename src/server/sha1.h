#pragma once
// SHA-1 of a byte string as 40 lower-case hex digits: the name a script is cached under.

#include <string>

#include "core/bytes.h"

namespace vellum::server {

std::string sha1_hex(BytesView data);

}  // namespace vellum::server
