#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "FakeClock.h"
#include "TestHost.h"
#include "TestPlatform.h"
#include "core/TarvexInterfacePrivate.h"

namespace testsupport {

// A test platform and a recording host; the clock is the fake one, installed
// before the instance exists so that every timed wait of the library is
// driven by the test.
class CoreFixture : public ::testing::Test {
protected:
    static constexpr std::int32_t kAddress = 100;

    CoreFixture() : scopedClock(clock) {}

    CustomApplication::TarvexInterfacePrivate& Private() {
        return *CustomApplication::TarvexInterfacePrivate::TEST_Of(sdk);
    }
    std::int32_t InitApp(std::int32_t mode = 0) { return sdk.Init(kAddress, host.Table(), mode); }

    FakeClock clock;
    ScopedClock scopedClock;
    TestPlatform platform;
    TestHost host;
    CustomApplication::TarvexInterface sdk;
};

}  // namespace testsupport
