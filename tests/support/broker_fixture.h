// Unit-test fixture: a fresh broker (attach) over a scratch registry for every test, detached and
// checked for leaked blocks afterwards.
#pragma once

#include "support/messages.h"

#include "platform/faults.h"
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <string>

namespace kov::test {

class BrokerTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Path of a test provider library built beside the tests ("kov_test_immediate", ...).
    static std::string providerPath(const char* name);
    // Writes a provider key with the given library values into the scratch registry.
    // Into the machine's registry, or the one under `root` (platform::currentUserKey()).
    static void registerInRegistry(const char* key, std::initializer_list<std::string> paths,
                                   platform::RegKey root = nullptr);

    // Runs the first-use load now, so that later measurements do not include it.
    static void loadProviders();

    StatisticsRecord statistics() const;
    // Blocks in use, for leak checks around an operation.
    std::uint32_t bytesInUse() const { return statistics().bytesInUse; }
};

} // namespace kov::test
