// The header-only request that the test programs loading the module themselves send.
#pragma once

#include <kov/kov_broker.h>

#include <cstdint>

namespace kov::test {

inline BrokerMessage headerRequest(std::uint32_t functionSet, std::uint32_t functionCode,
                                   ConfirmCallback callback = nullptr) {
    BrokerMessage request{};
    request.totalLength = sizeof request;
    request.formatMajor = 1;
    request.headerLength = sizeof request;
    request.functionSet = functionSet;
    request.setMajor = 1;
    request.functionCode = functionCode;
    request.callback = callback;
    return request;
}

} // namespace kov::test
