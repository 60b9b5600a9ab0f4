#include <gtest/gtest.h>

#include <cstring>

#include <customapp/CustomApplicationInterfaceLibrary.h>

#include "CoreFixture.h"
#include "common/BusMapping.h"
#include "common/Result.h"

using CustomApplication::CustomApplicationInterfaceLibrary;
using CustomApplication::TarvexInterface;
using CustomApplication::Internal::ToIPCBus;
using CustomApplication::Internal::ToSDKBus;
using namespace CustomApplication::CoreTypes;

namespace {

// Every code the library's components return has a name, as the public list has.
TEST(ResultCodes, EveryCodeOfTheLibraryIsNamed) {
    EXPECT_STREQ(TarvexInterface::ResultCodeText(-110), "TimedOut: the platform did not answer in time");
    using namespace CustomApplication;
    for (const std::int32_t code : {kOk, kNoInterface, kNotFound, kTooLong, kPlatformBusy, kOutOfMemory, kNotAllowed,
                                    kExists, kInvalidArgument, kAddressLost, kNotConnected, kTimedOut, kAlready, kUnexpectedReply}) {
        EXPECT_NE(std::strncmp(TarvexInterface::ResultCodeText(code), "Unknown:", 8), 0) << code;
    }
    // So is every failure the platform's services report.
    for (const std::int32_t code : {-5, -14, -16, -27, -28}) {
        EXPECT_NE(std::strncmp(TarvexInterface::ResultCodeText(code), "Unknown:", 8), 0) << code;
    }
    EXPECT_EQ(std::strncmp(TarvexInterface::ResultCodeText(-6), "Unknown:", 8), 0);
    EXPECT_EQ(std::strncmp(TarvexInterface::ResultCodeText(3), "Value:", 6), 0);
}

TEST(Version, RecordOfThisLibrary) {
    PlatformServices::Helper::VersionInfo* info = nullptr;
    ASSERT_EQ(CustomApplicationInterfaceLibrary::GetVersionInfo(&info), 0);
    ASSERT_NE(info, nullptr);
    EXPECT_STREQ(info->Name, "Custom Application Interface Library");
    EXPECT_STREQ(info->PartNumber, "40923B7");
    EXPECT_EQ(info->Major, 0);
    EXPECT_EQ(info->Minor, 7);
    EXPECT_EQ(info->Revision, 7);
    EXPECT_EQ(info->Build, 7);
    EXPECT_EQ(info->Flags, PlatformServices::Helper::VersionInfo().Flags);
    EXPECT_EQ(info->InterfaceVersion, 2);
    delete info;
    EXPECT_EQ(CustomApplicationInterfaceLibrary::GetVersionInfo(nullptr), -22);
}

class SDKVersion : public testsupport::CoreFixture {};

TEST_F(SDKVersion, IsTwoBeforeAndAfterInit) {
    EXPECT_EQ(sdk.GetSDKVersion(), 2);
    ASSERT_EQ(InitApp(), 0);
    EXPECT_EQ(sdk.GetSDKVersion(), 2);
}

TEST(BusMapping, BothDirections) {
    EXPECT_EQ(ToSDKBus(0), CANBus0);
    EXPECT_EQ(ToSDKBus(4), CANBus4);
    EXPECT_EQ(ToSDKBus(5), CANBusUnknown);
    EXPECT_EQ(ToSDKBus(7), CANBusUnknown);
    EXPECT_EQ(ToSDKBus(255), CANBusUnknown);
    EXPECT_EQ(ToIPCBus(CANBus3), 3);
    EXPECT_EQ(ToIPCBus(CANBus4), 4);
    EXPECT_EQ(ToIPCBus(CANBusUnknown), 0);
    EXPECT_EQ(ToIPCBus(static_cast<CANBus>(-1)), 0);
}

}  // namespace
