// The edge of the module: nothing may cross it as an exception, since the callers are C code. The
// one exception is a thread's cancellation (a forced unwind), which must pass through to end the
// thread; everything on the way undoes itself.
#pragma once

#include <cstdint>
#include <cxxabi.h>

namespace kov::dispatch {

// Runs `call` and returns its result, or `onException` when an exception other than a forced
// unwind came out of it (a provider's receive entry that throws, say).
template <typename Call>
[[gnu::always_inline]] inline std::int32_t atBoundary(Call call, std::int32_t onException) {
    try {
        return call();
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (...) {
        return onException;
    }
}

} // namespace kov::dispatch
