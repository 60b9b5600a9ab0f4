// Blocking requests and notifications from several threads at once. The fake
// clock never moves, so no request times out: every failure is a reply handed
// to the wrong caller or torn while it was copied out.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <future>
#include <thread>

#include "CoreFixture.h"

using CustomApplication::PluginTypes::FileData;
using CustomApplication::PluginTypes::FileMode;
using CustomApplication::PluginTypes::JobInfo;
using testsupport::CoreFixture;
using testsupport::TestPlatform;

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr int kRounds = 150;

std::uint32_t GetWord(const Bytes& bytes, std::size_t offset) {
    std::uint32_t value;
    std::memcpy(&value, &bytes[offset], 4);
    return value;
}
void PutWord(Bytes& bytes, std::size_t offset, std::uint32_t value) { std::memcpy(&bytes[offset], &value, 4); }

// A read reply whose data follow from the address asked for.
Bytes ReadReply(std::uint32_t address) {
    Bytes reply(1036, 0);
    PutWord(reply, 0, address);
    PutWord(reply, 4, 1024);
    for (std::size_t i = 0; i < 1024; ++i) reply[12 + i] = static_cast<std::uint8_t>(address + i);
    return reply;
}

class Concurrency : public CoreFixture {
protected:
    void Start(std::int32_t mode) {
        ASSERT_EQ(InitApp(mode), 0);
        ASSERT_TRUE(platform.AwaitClient(kAddress));
    }
};

TEST_F(Concurrency, EEPROMCallsOfSeveralThreadsEachGetTheirOwnReply) {
    Start(0);
    platform.SetObserver([this](const TestPlatform::Message& message) {
        if (message.category != 22) return;
        const TestPlatform::Child& request = message.children.at(0);
        const std::uint32_t address = request.payload.empty() ? 0 : GetWord(request.payload, 0);
        Bytes reply;
        switch (request.command) {
            case 1:
                platform.Send(kAddress, 22, 2, ReadReply(address), 22);
                return;
            case 3:
                reply.assign(12, 0);
                PutWord(reply, 0, address);
                PutWord(reply, 8, address);  // the result names the request
                platform.Send(kAddress, 22, 4, reply, 22);
                return;
            default:
                reply.assign(4, 0);
                PutWord(reply, 0, static_cast<std::uint32_t>(request.command == 5 ? 2 : request.command));
                platform.Send(kAddress, 22, request.command + 1, reply, 22);
                return;
        }
    });
    auto worker = [this](std::uint32_t base) {
        int wrong = 0;
        std::vector<unsigned char> buffer(1024);
        for (int i = 0; i < kRounds; ++i) {
            const std::uint32_t address = base + static_cast<std::uint32_t>(i);
            switch (i % 4) {
                case 0:
                    if (sdk.EEPROMRead(address, buffer.data(), 1024) != 0) ++wrong;
                    for (std::size_t b = 0; b < 1024; ++b) {
                        if (buffer[b] != static_cast<std::uint8_t>(address + b)) {
                            ++wrong;
                            break;
                        }
                    }
                    break;
                case 1:
                    if (sdk.EEPROMWrite(address, buffer.data(), 16) != static_cast<std::int32_t>(address)) ++wrong;
                    break;
                case 2:
                    if (sdk.EEPROMGetState() != 2) ++wrong;
                    break;
                default:
                    if (sdk.EEPROMSave() != 7) ++wrong;
                    break;
            }
        }
        return wrong;
    };
    auto a = std::async(std::launch::async, worker, 1000u);
    auto b = std::async(std::launch::async, worker, 5000u);
    auto c = std::async(std::launch::async, worker, 9000u);
    EXPECT_EQ(a.get(), 0);
    EXPECT_EQ(b.get(), 0);
    EXPECT_EQ(c.get(), 0);
}

TEST_F(Concurrency, LateDuplicateReadRepliesNeverTearTheCopy) {
    Start(0);
    // Each read is answered three times; the extra copies land while later
    // reads are waiting or copying out.
    platform.SetObserver([this](const TestPlatform::Message& message) {
        if (message.category != 22) return;
        const std::uint32_t address = GetWord(message.children.at(0).payload, 0);
        for (int copy = 0; copy < 3; ++copy) platform.Send(kAddress, 22, 2, ReadReply(address), 22);
    });
    std::vector<unsigned char> buffer(1024);
    int torn = 0;
    for (int i = 0; i < kRounds; ++i) {
        ASSERT_EQ(sdk.EEPROMRead(static_cast<std::uint32_t>(i * 13), buffer.data(), 1024), 0);
        // Whichever reply answered, its bytes all come from that one reply.
        for (std::size_t b = 1; b < 1024; ++b) {
            if (buffer[b] != static_cast<std::uint8_t>(buffer[0] + b)) {
                ++torn;
                break;
            }
        }
    }
    EXPECT_EQ(torn, 0);
    ASSERT_TRUE(platform.AwaitMessages(kRounds));
    ASSERT_TRUE(host.AwaitEvents(2 * 3 * kRounds));  // every reply was dispatched
}

TEST_F(Concurrency, FileQueriesOfSeveralThreadsEachGetTheirOwnReply) {
    Start(1);
    platform.SetObserver([this](const TestPlatform::Message& message) {
        if (message.category != 22) return;
        const TestPlatform::Child& request = message.children.at(0);
        Bytes reply(4120, 0);
        PutWord(reply, 4, GetWord(request.payload, 12));  // result: the second request value
        PutWord(reply, 12, GetWord(request.payload, 8));  // Value0: the first, the offset served
        PutWord(reply, 20, 64);
        std::memset(&reply[24], static_cast<int>(request.payload[8]), 64);
        platform.Send(kAddress, 22, 18, reply, 22);
    });
    auto worker = [this](std::uint32_t base) {
        int wrong = 0;
        auto data = std::make_unique<FileData>();
        for (int i = 0; i < kRounds; ++i) {
            const std::uint32_t value = base + static_cast<std::uint32_t>(i);
            const std::int32_t result = sdk.PluginGetFileData(data.get(), FileMode(0), value, value * 3, 0);
            if (result != static_cast<std::int32_t>(value * 3) || data->Value0 != value || data->Length != 64 ||
                data->Data[63] != static_cast<std::uint8_t>(value)) {
                ++wrong;
            }
        }
        return wrong;
    };
    auto a = std::async(std::launch::async, worker, 100u);
    auto b = std::async(std::launch::async, worker, 7000u);
    EXPECT_EQ(a.get(), 0);
    EXPECT_EQ(b.get(), 0);
}

// Two notifiers, each of which must only ever see its own context.
std::atomic<int> mismatches{0};
std::atomic<int> delivered{0};
int contextA = 0;
int contextB = 0;
void NotifyA(void* context, const JobInfo*) {
    if (context != &contextA) ++mismatches;
    ++delivered;
}
void NotifyB(void* context, const JobInfo*) {
    if (context != &contextB) ++mismatches;
    ++delivered;
}

TEST_F(Concurrency, ANotifierRegisteredWhileNotificationsArriveKeepsItsContext) {
    Start(1);
    constexpr int kNotifications = 400;
    std::atomic<bool> sending{true};
    sdk.PluginRegisterJobStartNotifier(&NotifyB, &contextB);
    std::thread sender([&] {
        Bytes notification(12, 0);
        notification[4] = 1;
        for (int i = 0; i < kNotifications; ++i) platform.Send(kAddress, 22, 13, notification, 22);
        sending = false;
    });
    int registrations = 0;
    while (sending.load() || registrations < 100) {
        if (registrations % 2 == 0) {
            sdk.PluginRegisterJobStartNotifier(&NotifyA, &contextA);
        } else {
            sdk.PluginRegisterJobStartNotifier(&NotifyB, &contextB);
        }
        ++registrations;
        if (registrations > 100000) break;
    }
    sender.join();
    ASSERT_TRUE(host.AwaitEvents(2 * kNotifications));
    EXPECT_EQ(mismatches.load(), 0);
    EXPECT_EQ(delivered.load(), kNotifications);
}

}  // namespace
