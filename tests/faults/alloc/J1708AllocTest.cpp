// J1708 operations with one allocation failing.
#include <gtest/gtest.h>

#include <cstring>

#include "AllocFaultSupport.h"
#include "j1708/J1708Record.h"

using namespace allocfault;
using CustomApplication::J1708Types::J1708ReceiveTableEntry;
using CustomApplication::J1708Types::J1708TransmitTableEntry;
using Bytes = std::vector<std::uint8_t>;

namespace {

constexpr std::int32_t kCategoryJ1708 = 20;
constexpr std::int32_t kSend = 1;
constexpr std::int32_t kSubscribe = 3;

void Ignore(void*, unsigned char, unsigned char, unsigned char, const unsigned char*, unsigned char) {}

class J1708AllocFixture : public AllocFixture {
protected:
    std::int32_t Register() { return sdk.J1708Init(receive, 2, transmit, 2); }

    std::size_t Subscriptions() {
        std::size_t count = 0;
        for (const auto& child : Sent(kCategoryJ1708)) count += child.command == kSubscribe ? 1 : 0;
        return count;
    }

    // Sends row `index`; returns the frame bytes that went out (MID first).
    Bytes SentRow(std::int32_t index) {
        EXPECT_EQ(sdk.J1708SendMessage(index), 0);
        Bytes frame{0xFF};
        for (const auto& child : Sent(kCategoryJ1708)) {
            if (child.command != kSend || child.payload.size() != PlatformServices::J1708::kRecordBytes) continue;
            PlatformServices::J1708::J1708Message record;
            std::memcpy(&record, child.payload.data(), sizeof record);
            frame.assign(record.Frame, record.Frame + std::min<std::size_t>(record.Count, sizeof record.Frame));
        }
        return frame;
    }

    const unsigned char payload[3] = {1, 2, 3};
    J1708ReceiveTableEntry receive[2] = {{0x80, &Ignore, nullptr}, {0x81, nullptr, nullptr}};
    J1708TransmitTableEntry transmit[2] = {{payload, 3, 0x90, 0, 4}, {nullptr, 0, 0x91, 0, 4}};
};

// J1708Init with its nth allocation failing, one process per n, as it
// succeeds once per instance.
class J1708InitFailing : public J1708AllocFixture, public FailurePoint {
public:
    static constexpr long kBound = 18;
};

TEST_P(J1708InitFailing, RegistersNothingOrTablesThatWork) {
    const Outcome first = CallFailing(N(), [&] { return Register(); });
    ASSERT_FALSE(first.escaped);
    if (first.result < 0) {
        EXPECT_TRUE(first.injected);
        EXPECT_EQ(first.result, -12);
        // Nothing registered and nothing sent: a corrected call may follow.
        EXPECT_EQ(sdk.J1708SendMessage(0), -2);
        EXPECT_EQ(Subscriptions(), 0u);
        ASSERT_EQ(Register(), 0);
        EXPECT_EQ(Subscriptions(), 1u);
    } else {
        EXPECT_EQ(first.result, 0);
        // A subscription write that could not be made is not reported.
        EXPECT_EQ(Subscriptions(), first.injected ? 0u : 1u);
    }
    EXPECT_EQ(Register(), -114);
    EXPECT_EQ(SentRow(0), (Bytes{0x90, 1, 2, 3}));
    EXPECT_EQ(SentRow(1), Bytes{0x91});
    if (N() == kBound) {
        EXPECT_FALSE(first.injected) << "raise kBound past J1708Init's last allocation";
    }
}

INSTANTIATE_TEST_SUITE_P(EachAllocation, J1708InitFailing, ::testing::Range(1L, J1708InitFailing::kBound + 1),
                         PointName);

// An update that needs a larger buffer and cannot get one leaves the row
// without data: it is sent as the MID alone until an update succeeds.
TEST_F(J1708AllocFixture, UpdateThatCannotEnlargeLeavesTheMidAloneUntilTheNextUpdate) {
    ASSERT_EQ(Register(), 0);
    const Bytes small{0xA1};
    const Bytes large{0xB1, 0xB2, 0xB3, 0xB4, 0xB5, 0xB6, 0xB7};
    const long points = ForEachFailurePoint([&](long n) {
        EXPECT_EQ(sdk.J1708UpdateMessageData(0, small.data(), 1), 0);
        const Outcome update = CallFailing(n, [&] { return sdk.J1708UpdateMessageData(0, large.data(), 7); });
        EXPECT_FALSE(update.escaped);
        if (update.injected) {
            EXPECT_EQ(update.result, -12);
            EXPECT_EQ(SentRow(0), Bytes{0x90});
        } else {
            EXPECT_EQ(update.result, 0);
            Bytes frame{0x90};
            frame.insert(frame.end(), large.begin(), large.end());
            EXPECT_EQ(SentRow(0), frame);
        }
        return update.injected;
    });
    EXPECT_EQ(points, 1);
    const Outcome shorter = CallFailing(1, [&] { return sdk.J1708UpdateMessageData(0, small.data(), 1); });
    EXPECT_FALSE(shorter.injected);
    EXPECT_EQ(shorter.result, 0);
    EXPECT_EQ(SentRow(0), (Bytes{0x90, 0xA1}));
}

}  // namespace
