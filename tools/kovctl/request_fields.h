// The header fields and payload of one request kovctl sends.
#pragma once

#include <cstdint>
#include <vector>

namespace kovctl {

struct RequestFields {
    std::uint32_t provider = 0;
    std::uint32_t functionSet = 0;
    std::uint16_t setMajor = 1;
    std::uint16_t setMinor = 0;
    std::uint32_t functionCode = 0;
    std::vector<std::uint8_t> payload;
};

} // namespace kovctl
