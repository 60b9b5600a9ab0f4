#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <future>
#include <mutex>

#include "CoreFixture.h"
#include "can/CANIPC.h"

using CustomApplication::CANTypes::CANReceiveTableEntry;
using CustomApplication::CANTypes::CANTransmitTableEntry;
using CustomApplication::CANTypes::FrameType;
using CustomApplication::CANTypes::Standard;
using CustomApplication::CoreTypes::CANBus;
using CustomApplication::TarvexInterface;
using CustomApplication::PluginTypes::FileData;
using CustomApplication::PluginTypes::FileMode;
using CustomApplication::PluginTypes::FileStats;
using CustomApplication::PluginTypes::JobInfo;
using CustomApplication::PluginTypes::OperationState;
using testsupport::CoreFixture;
using testsupport::TestPlatform;

namespace {

using Bytes = std::vector<std::uint8_t>;

void PutInt(Bytes& bytes, std::size_t offset, std::uint32_t value) { std::memcpy(&bytes[offset], &value, 4); }

Bytes StatsReply(std::uint32_t value0, std::uint32_t value1, std::size_t size = 12) {
    Bytes reply(12, 0);
    PutInt(reply, 4, value0);
    PutInt(reply, 8, value1);
    reply.resize(size, 0);
    return reply;
}

// A content reply; it names the file-mode byte and the offset (value0) it serves.
Bytes DataReply(std::int32_t result, std::uint32_t length, std::uint32_t value0 = 0, std::uint32_t value1 = 0,
                std::uint8_t mode = 0) {
    Bytes reply(4120, 0);
    PutInt(reply, 4, static_cast<std::uint32_t>(result));
    reply[8] = mode;
    PutInt(reply, 12, value0);
    PutInt(reply, 16, value1);
    PutInt(reply, 20, length);
    for (std::size_t i = 24; i < reply.size(); ++i) reply[i] = static_cast<std::uint8_t>(i * 7);
    return reply;
}

Bytes JobStart(std::uint32_t commsMode, std::uint8_t bus, std::uint8_t parameter, std::size_t size = 12) {
    Bytes notification(12, 0);
    PutInt(notification, 4, commsMode);
    notification[8] = bus;
    notification[9] = parameter;
    notification.resize(size, 0);
    return notification;
}

// Records the notifications given to it as context.
class Jobs {
public:
    static void Notify(void* context, const JobInfo* info) {
        auto* jobs = static_cast<Jobs*>(context);
        {
            std::lock_guard<std::mutex> guard(jobs->lock_);
            jobs->infos_.push_back(*info);
        }
        jobs->changed_.notify_all();
    }
    std::vector<JobInfo> Infos() const {
        std::lock_guard<std::mutex> guard(lock_);
        return infos_;
    }
    bool Await(std::size_t count) const {
        std::unique_lock<std::mutex> guard(lock_);
        return changed_.wait_for(guard, std::chrono::seconds(10), [&] { return infos_.size() >= count; });
    }

private:
    mutable std::mutex lock_;
    mutable std::condition_variable changed_;
    std::vector<JobInfo> infos_;
};

class Plugin : public CoreFixture {
protected:
    void Start(std::int32_t mode = 1) {
        ASSERT_EQ(InitApp(mode), 0);
        ASSERT_TRUE(platform.AwaitClient(kAddress));
    }
    // No notification may outlive the recorders below.
    void TearDown() override { sdk.Shutdown(); }

    // Answers every category-22 request with `reply`.
    void Answer(std::int32_t command, const Bytes& reply) {
        platform.SetObserver([this, command, reply](const TestPlatform::Message& message) {
            if (message.category == 22) platform.Send(kAddress, 22, command, reply, 22);
        });
    }

    std::vector<TestPlatform::Child> Requests() const {
        std::vector<TestPlatform::Child> requests;
        for (const auto& message : platform.Messages()) {
            EXPECT_EQ(message.category, 22);
            EXPECT_EQ(message.destination, 22);
            for (const auto& child : message.children) requests.push_back(child);
        }
        return requests;
    }

    void Notify(const Bytes& notification) { ASSERT_EQ(platform.Send(kAddress, 22, 13, notification, 22), 0); }

    Jobs jobs;
    Jobs other;
};

TEST_F(Plugin, OutsidePlugInModeEverythingIsRefusedAndNothingSent) {
    Start(0);
    FileStats stats{};
    FileData data{};
    EXPECT_EQ(sdk.PluginGetFileStats(&stats, FileMode(0)), -13);
    EXPECT_EQ(sdk.PluginGetFileData(&data, FileMode(0), 1, 2, 3), -13);
    sdk.PluginReportJobProgress(OperationState(1), 50, 7);
    sdk.PluginRegisterJobStartNotifier(&Jobs::Notify, &jobs);
    Notify(JobStart(1, 1, 1));
    ASSERT_TRUE(host.AwaitEvents(2));  // the notification was dispatched
    EXPECT_TRUE(jobs.Infos().empty());
    EXPECT_TRUE(platform.Messages().empty());
}

TEST_F(Plugin, ProgressReportCarriesTheIdentifierAndTheLowByteOfTheState) {
    Start();
    host.pluginId = 0x01020304;
    sdk.PluginReportJobProgress(OperationState(0x1FF), 42, -2);
    ASSERT_TRUE(platform.AwaitMessages(1));
    const auto requests = Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].command, 14);
    EXPECT_EQ(requests[0].payload, (Bytes{4, 3, 2, 1, 0xFF, 42, 0, 0, 0xFE, 0xFF, 0xFF, 0xFF}));
}

TEST_F(Plugin, FileStatsRequestAndReply) {
    Start();
    Answer(16, StatsReply(0xAABBCCDD, 17));
    FileStats stats{};
    EXPECT_EQ(sdk.PluginGetFileStats(nullptr, FileMode(0)), -22);
    EXPECT_TRUE(platform.Messages().empty());
    for (std::int32_t mode : {0, 1, 7, -1}) ASSERT_EQ(sdk.PluginGetFileStats(&stats, FileMode(mode)), 0);
    EXPECT_EQ(stats.Value0, 0xAABBCCDDu);
    EXPECT_EQ(stats.Value1, 17u);
    const auto requests = Requests();
    ASSERT_EQ(requests.size(), 4u);
    EXPECT_EQ(requests[0].command, 15);
    EXPECT_EQ(requests[0].payload, (Bytes{0x34, 0x12, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(requests[1].payload[4], 1);
    EXPECT_EQ(requests[2].payload[4], 2);
    EXPECT_EQ(requests[3].payload[4], 2);
}

TEST_F(Plugin, FileDataRequestAndTheBoundsOfItsContent) {
    Start();
    FileData data;
    std::memset(&data, 0xEE, sizeof data);
    EXPECT_EQ(sdk.PluginGetFileData(nullptr, FileMode(1), 1, 2, 3), -22);
    EXPECT_TRUE(platform.Messages().empty());

    // A length above the block is clamped to it.
    const Bytes big = DataReply(0, 5000, 0x10, 22, 2);
    Answer(18, big);
    ASSERT_EQ(sdk.PluginGetFileData(&data, FileMode(7), 0x10, 0x20, 0x30), 0);
    EXPECT_EQ(data.Length, 4096u);
    EXPECT_EQ(data.Value0, 0x10u);
    EXPECT_EQ(data.Value1, 22u);
    EXPECT_EQ(0, std::memcmp(data.Data, &big[24], 4096));

    // A short block writes its bytes only; the result passes through.
    std::memset(&data, 0xEE, sizeof data);
    const Bytes small = DataReply(-77, 10, 1);
    Answer(18, small);
    EXPECT_EQ(sdk.PluginGetFileData(&data, FileMode(0), 1, 2, 3), -77);
    EXPECT_EQ(data.Length, 10u);
    EXPECT_EQ(0, std::memcmp(data.Data, &small[24], 10));
    for (std::size_t i = 10; i < sizeof data.Data; ++i) ASSERT_EQ(data.Data[i], 0xEE) << i;

    const auto requests = Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].command, 17);
    EXPECT_EQ(requests[0].payload,
              (Bytes{0x34, 0x12, 0, 0, 2, 0, 0, 0, 0x10, 0, 0, 0, 0x20, 0, 0, 0, 0x30, 0, 0, 0}));
}

// Replies carry no request number: a reply of the other kind, or a block
// of another offset or file mode (one that comes late for an earlier query),
// is dropped and the query goes on waiting for its own.
TEST_F(Plugin, OnlyTheReplyThatAnswersTheQueryEndsItsWait) {
    Start();
    platform.SetObserver([this](const TestPlatform::Message& message) {
        if (message.category != 22) return;
        platform.Send(kAddress, 22, 16, StatsReply(1, 2), 22);
        platform.Send(kAddress, 22, 18, DataReply(0, 4, 0x300, 1), 22);
        platform.Send(kAddress, 22, 18, DataReply(0, 4, 0x200, 5, 1), 22);
        platform.Send(kAddress, 22, 18, DataReply(0, 4, 0x200, 9), 22);
    });
    FileData data{};
    EXPECT_EQ(sdk.PluginGetFileData(&data, FileMode(0), 0x200, 0, 0), 0);
    EXPECT_EQ(data.Value0, 0x200u);
    EXPECT_EQ(data.Value1, 9u);
}

// Summary replies say nothing of the query they answer: while the answer to
// one that timed out may still come, the next is refused rather than given
// that answer; the late answer lets queries go out again, and so does a
// 10 s wait for one that never comes.
TEST_F(Plugin, ALateSummaryIsNeverReturnedForAnotherQuery) {
    Start();
    FileStats stats{};
    const auto unanswered = [&](std::size_t messages, std::size_t waits) {
        auto query = std::async(std::launch::async, [&] { return sdk.PluginGetFileStats(&stats, FileMode(0)); });
        EXPECT_TRUE(platform.AwaitMessages(messages));
        EXPECT_TRUE(clock.AwaitWaits(waits, 2));  // the service loop's and the query's
        clock.Advance(800);
        return query.get();
    };
    ASSERT_EQ(unanswered(1, 2), -110);
    EXPECT_EQ(sdk.PluginGetFileStats(&stats, FileMode(1)), -114);
    ASSERT_EQ(platform.Send(kAddress, 22, 16, StatsReply(5, 6), 22), 0);  // mode 0's, late
    ASSERT_TRUE(host.AwaitEvents(2));
    Answer(16, StatsReply(7, 8));
    EXPECT_EQ(sdk.PluginGetFileStats(&stats, FileMode(1)), 0);
    EXPECT_EQ(stats.Value0, 7u);
    EXPECT_EQ(stats.Value1, 8u);

    platform.SetObserver(nullptr);
    ASSERT_EQ(unanswered(3, clock.WaitsBegun().size() + 1), -110);
    EXPECT_EQ(sdk.PluginGetFileStats(&stats, FileMode(1)), -114);
    clock.Advance(10'000 - 800);
    Answer(16, StatsReply(9, 10));
    EXPECT_EQ(sdk.PluginGetFileStats(&stats, FileMode(1)), 0);
    EXPECT_EQ(stats.Value0, 9u);
    EXPECT_EQ(platform.Messages().size(), 4u);  // the refused queries sent nothing
}

class PluginReplyLength : public Plugin, public ::testing::WithParamInterface<std::size_t> {};

TEST_P(PluginReplyLength, SummaryRepliesOfAnotherLengthAreIgnored) {
    Start();
    Answer(16, StatsReply(1, 2, GetParam()));
    FileStats stats{};
    auto result = std::async(std::launch::async, [&] { return sdk.PluginGetFileStats(&stats, FileMode(0)); });
    ASSERT_TRUE(platform.AwaitMessages(1));
    ASSERT_TRUE(host.AwaitEvents(2));  // the reply was dispatched
    ASSERT_TRUE(clock.AwaitWaits(2, 2));
    clock.Advance(799);
    clock.Advance(1);
    EXPECT_EQ(result.get(), -110);
    const auto waits = clock.WaitsBegun();
    EXPECT_EQ(std::count(waits.begin(), waits.begin() + 2, 800), 1);
}

INSTANTIATE_TEST_SUITE_P(OffByOne, PluginReplyLength, ::testing::Values(11, 13));

TEST_F(Plugin, JobStartNotificationsReachTheRegisteredNotifier) {
    Start();
    Notify(JobStart(1, 1, 1));  // no notifier yet
    ASSERT_TRUE(host.AwaitEvents(2));
    sdk.PluginRegisterJobStartNotifier(&Jobs::Notify, &jobs);
    Notify(JobStart(256, 9, 0xAB));  // only the low byte of the mode counts
    Notify(JobStart(0x0103, 3, 0));
    Notify(JobStart(1, 1, 1, 11));  // wrong length
    Notify(JobStart(0, 0, 7));
    ASSERT_TRUE(jobs.Await(3));
    const auto infos = jobs.Infos();
    ASSERT_EQ(infos.size(), 3u);
    EXPECT_EQ(infos[0].CommsMode, 0);
    EXPECT_EQ(infos[0].Bus, CANBus(5));
    EXPECT_EQ(infos[0].JobParameter, 0xAB);
    EXPECT_EQ(infos[1].CommsMode, 1);
    EXPECT_EQ(infos[1].Bus, CANBus(3));
    EXPECT_EQ(infos[2].CommsMode, 0);
    EXPECT_EQ(infos[2].Bus, CANBus(0));
    EXPECT_EQ(infos[2].JobParameter, 7);

    sdk.PluginRegisterJobStartNotifier(nullptr, &other);
    Notify(JobStart(1, 1, 1));
    ASSERT_TRUE(host.AwaitEvents(2 * 6));  // every notification so far was dispatched
    sdk.PluginRegisterJobStartNotifier(&Jobs::Notify, &other);
    Notify(JobStart(1, 2, 2));
    ASSERT_TRUE(other.Await(1));
    EXPECT_EQ(jobs.Infos().size(), 3u);
}

// A CAN callback that destroys its instance ends the batch it came in: the
// job start behind its frame reaches neither the dispatch hooks nor the
// notifier, whose context the callback freed (under AddressSanitizer a call
// would be a use after free).
std::atomic<int> lateNotifications{0};

struct Doomed {
    TarvexInterface* app;
    int* notifierContext;
};

void DestroyTheInstance(void* context, CANBus, unsigned int, FrameType, const unsigned char*, unsigned char) {
    auto* doomed = static_cast<Doomed*>(context);
    delete doomed->app;
    delete doomed->notifierContext;
}

void CountLateNotification(void* context, const JobInfo*) {
    ++*static_cast<int*>(context);
    ++lateNotifications;
}

TEST_F(Plugin, NothingOfABatchIsDispatchedOnceACallbackDestroyedTheInstance) {
    auto* app = new TarvexInterface;
    ASSERT_EQ(app->Init(kAddress, host.Table(), 1), 0);
    ASSERT_TRUE(platform.AwaitClient(kAddress));
    Doomed doomed{app, new int(0)};
    CANReceiveTableEntry receive[1] = {{0x100, 0x7FF, Standard, &DestroyTheInstance, &doomed}};
    CANTransmitTableEntry transmit[1] = {};
    ASSERT_EQ(app->CANInit(CANBus(1), receive, 1, transmit, 0), 1);
    app->PluginRegisterJobStartNotifier(&CountLateNotification, doomed.notifierContext);

    PlatformServices::CANIPC::Message frame{};
    frame.Identifier = 0x100;
    frame.Bus = 1;
    const auto* record = reinterpret_cast<const std::uint8_t*>(&frame);
    Bytes batch = TestPlatform::Frame(10, 1, Bytes(record, record + sizeof frame));
    const Bytes job = TestPlatform::Frame(22, 13, JobStart(1, 1, 1), 22);
    batch.insert(batch.end(), job.begin(), job.end());
    ASSERT_EQ(platform.SendRaw(kAddress, batch), 0);
    // The instance is deleted once its listener has left its loop (the
    // fixture's own instance stays).
    ASSERT_TRUE(CustomApplication::TEST_AwaitLiveCount(1, 10'000));
    EXPECT_EQ(lateNotifications.load(), 0);
    EXPECT_EQ(host.Events(), (std::vector<std::string>{"begin", "end"}));
}

}  // namespace
