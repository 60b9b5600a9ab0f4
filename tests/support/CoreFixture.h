#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>

#include <customapp/TarvexInterface.h>

#include "FakeClock.h"
#include "TestHost.h"
#include "TestPlatform.h"
#include "core/TestHooks.h"

namespace testsupport {

// A test platform and a recording host; the clock is the fake one, installed
// before the instance exists so that every timed wait of the library is
// driven by the test.
class CoreFixture : public ::testing::Test {
protected:
    static constexpr std::int32_t kAddress = 100;

    CoreFixture() : scopedClock(clock) {}

    CustomApplication::TEST_InstanceState State() { return CustomApplication::TEST_State(sdk); }
    // Whether the library has connected anew `count` times and is connected,
    // moving the clock on for its pauses between attempts (bounded wait).
    bool AwaitReconnections(std::uint32_t count) {
        for (int step = 0; step < 500; ++step) {
            const auto state = State();
            if (state.reconnections == count && state.clientActive) return true;
            clock.Advance(50);
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }
    std::int32_t InitApp(std::int32_t mode = 0) { return sdk.Init(kAddress, host.Table(), mode); }

    FakeClock clock;
    ScopedClock scopedClock;
    TestPlatform platform;
    TestHost host;
    CustomApplication::TarvexInterface sdk;
};

}  // namespace testsupport
