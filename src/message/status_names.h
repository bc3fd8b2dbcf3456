#pragma once

#include <cstdint>

namespace kov::message {

// "STATUS_UNKNOWN_PROVIDER" for 4, and so on; null for a code the broker never produces.
const char* statusName(std::uint32_t status);

} // namespace kov::message
