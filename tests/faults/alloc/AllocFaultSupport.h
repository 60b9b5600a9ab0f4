// Calls made with one allocation failing, against the test platform.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <new>
#include <string>
#include <vector>

#include <customapp/TarvexInterface.h>

#include "FailingAllocation.h"
#include "TestHost.h"
#include "TestPlatform.h"

namespace allocfault {

// One call made with its nth allocation failing.
struct Outcome {
    std::int32_t result = 0;
    bool injected = false;  // the call reached the failing allocation
    bool escaped = false;   // std::bad_alloc left the call
};

template <typename Call>
Outcome CallFailing(long n, Call&& call) {
    Outcome outcome;
    Arm(n);
    try {
        outcome.result = static_cast<std::int32_t>(call());
    } catch (const std::bad_alloc&) {
        outcome.escaped = true;
    }
    outcome.injected = Disarm();
    return outcome;
}

// Far more allocations than any single operation makes.
constexpr long kMaxFailurePoints = 200;

// Calls `attempt(n)` for n = 1, 2, ... until it returns false, which it does
// once its call completed without reaching the nth allocation. Returns the
// number of allocations that were made to fail.
template <typename Attempt>
long ForEachFailurePoint(Attempt&& attempt) {
    for (long n = 1; n <= kMaxFailurePoints; ++n) {
        if (!attempt(n)) return n - 1;
        if (::testing::Test::HasFatalFailure()) return n;
    }
    ADD_FAILURE() << "the call still allocates after " << kMaxFailurePoints << " allocations";
    return kMaxFailurePoints;
}

// An instance initialised in application mode against the test platform,
// on the system clock: a request whose answer never comes times out for real.
class AllocFixture : public ::testing::Test {
protected:
    static constexpr std::int32_t kAddress = 100;
    using Message = testsupport::TestPlatform::Message;
    using Child = testsupport::TestPlatform::Child;

    void SetUp() override {
        ASSERT_EQ(sdk.Init(kAddress, host.Table(), 0), 0);
        ASSERT_TRUE(platform.AwaitClient(kAddress));
    }
    void TearDown() override { sdk.Shutdown(); }

    // The children of the messages of `category` that the library sent, in
    // order, once everything it sent so far has been recorded.
    std::vector<Child> Sent(std::int32_t category);

    testsupport::TestPlatform platform;
    testsupport::TestHost host;
    CustomApplication::TarvexInterface sdk;

private:
    std::size_t markers_ = 0;
};

// A parameter n runs the call with its nth allocation failing; the cases of
// a suite run n = 1 to Bound, where Bound is past the call's last allocation.
class FailurePoint : public ::testing::WithParamInterface<long> {
protected:
    long N() const { return GetParam(); }
};

// Names the case of parameter n "allocationN".
inline std::string PointName(const ::testing::TestParamInfo<long>& info) {
    return "allocation" + std::to_string(info.param);
}

}  // namespace allocfault
