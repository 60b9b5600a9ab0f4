#include <gtest/gtest.h>

#include <linux/capability.h>
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <utility>

#include "CoreFixture.h"

using CustomApplication::TEST_WorkerThreads;
using testsupport::CoreFixture;

namespace {

// The policy and priority of a thread.
std::pair<int, int> Scheduling(pthread_t thread) {
    int policy = -1;
    sched_param param{};
    EXPECT_EQ(pthread_getschedparam(thread, &policy, &param), 0);
    return {policy, param.sched_priority};
}

// Whether this thread may put a thread under SCHED_FIFO (tried on itself,
// then undone).
bool MayUseRealTime() {
    sched_param param{};
    param.sched_priority = 1;
    if (pthread_setschedparam(pthread_self(), SCHED_FIFO, &param) != 0) return false;
    param.sched_priority = 0;
    EXPECT_EQ(pthread_setschedparam(pthread_self(), SCHED_OTHER, &param), 0);
    return true;
}

// Takes the right away: no real-time limit for the process, and no
// CAP_SYS_NICE for the calling thread (the one whose right the system
// checks).
void DropRealTimeRight() {
    const rlimit none{0, 0};
    ASSERT_EQ(setrlimit(RLIMIT_RTPRIO, &none), 0);
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2] = {};
    ASSERT_EQ(syscall(SYS_capget, &header, data), 0);
    data[CAP_SYS_NICE / 32].effective &= ~(1u << (CAP_SYS_NICE % 32));
    ASSERT_EQ(syscall(SYS_capset, &header, data), 0);
    ASSERT_FALSE(MayUseRealTime());
}

class RealTimePriority : public CoreFixture {};

TEST_F(RealTimePriority, IsRefusedOutOfRangeAndWithoutRunningThreads) {
    EXPECT_EQ(sdk.SetRealTimePriority(10), -13);  // before Init
    ASSERT_EQ(InitApp(), 0);
    EXPECT_EQ(sdk.SetRealTimePriority(100), -22);
    EXPECT_EQ(sdk.SetRealTimePriority(-1), -22);
    EXPECT_EQ(sdk.SetRealTimePriority(0), 0);  // the ordinary policy needs no right
    sdk.Shutdown();
    EXPECT_EQ(sdk.SetRealTimePriority(0), -13);
}

TEST_F(RealTimePriority, BothWorkerThreadsTakeItOrNeitherDoesWhenTheProcessMayNot) {
    ASSERT_EQ(InitApp(), 0);
    const auto workers = TEST_WorkerThreads(sdk);
    const std::pair<int, int> ordinary{SCHED_OTHER, 0};
    if (MayUseRealTime()) {
        ASSERT_EQ(sdk.SetRealTimePriority(10), 0);
        EXPECT_EQ(Scheduling(workers.listener), std::make_pair(SCHED_FIFO, 10));
        EXPECT_EQ(Scheduling(workers.service), std::make_pair(SCHED_FIFO, 10));
        ASSERT_EQ(sdk.SetRealTimePriority(0), 0);
    }
    EXPECT_EQ(Scheduling(workers.listener), ordinary);
    EXPECT_EQ(Scheduling(workers.service), ordinary);

    DropRealTimeRight();
    EXPECT_EQ(sdk.SetRealTimePriority(10), -1);
    EXPECT_EQ(Scheduling(workers.listener), ordinary);
    EXPECT_EQ(Scheduling(workers.service), ordinary);
}

}  // namespace
