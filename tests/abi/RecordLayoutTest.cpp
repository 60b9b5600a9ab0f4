// The public records are compiled into applications: every field, in its
// order and with its type, is part of the interface. Each test lists a
// record's fields with the types the interface gives them; the expected
// offsets and size are computed from those types for the target being built,
// so a field that is moved, retyped, added or removed fails on every target.
#include <gtest/gtest.h>

#include <cstdint>

#include <customapp/CANTypes.h>
#include <customapp/CoreTypes.h>
#include <customapp/J1708Types.h>
#include <customapp/J1939Types.h>
#include <customapp/PluginTypes.h>
#include <customapp/VersionInfo.h>

#include "RecordLayout.h"

using namespace CustomApplication;
using abiguard::LayOut;
using abiguard::Shape;

namespace {

// The callback signatures as the interface spells them.
using CANCallback = void (*)(void*, CoreTypes::CANBus, unsigned int, CANTypes::FrameType,
                             const unsigned char*, unsigned char);
using J1939Callback = void (*)(void*, CoreTypes::CANBus, unsigned int, unsigned char, unsigned char,
                               unsigned char, const unsigned char*, unsigned short);
using J1708Callback = void (*)(void*, unsigned char, unsigned char, unsigned char, const unsigned char*,
                               unsigned char);
using TaskFunction = void (*)(void*, std::int32_t);

// The calculator itself, on shapes whose layout is the same on every target.
constexpr Shape kByte{1, 1}, kHalf{2, 2}, kWord{4, 4}, kWide{8, 8}, kWideOn4{8, 4}, kText{64, 1};
constexpr Shape kByteThenWide[] = {kByte, kWide};
static_assert(LayOut(kByteThenWide).offsets[1] == 8 && LayOut(kByteThenWide).size == 16 &&
                  LayOut(kByteThenWide).align == 8,
              "a 64-bit field after a byte starts at its alignment");
constexpr Shape kWordThenByte[] = {kWord, kByte};
static_assert(LayOut(kWordThenByte).offsets[1] == 4 && LayOut(kWordThenByte).size == 8,
              "the record is padded to its alignment");
constexpr Shape kWideAlignedTo4[] = {kWord, kByte, kWideOn4};
static_assert(LayOut(kWideAlignedTo4).offsets[2] == 8 && LayOut(kWideAlignedTo4).size == 16 &&
                  LayOut(kWideAlignedTo4).align == 4,
              "a 64-bit field of 4-byte alignment");
constexpr Shape kBytesAndText[] = {kByte, kByte, kHalf, kText, kByte};
static_assert(LayOut(kBytesAndText).offsets[2] == 2 && LayOut(kBytesAndText).offsets[3] == 4 &&
                  LayOut(kBytesAndText).offsets[4] == 68 && LayOut(kBytesAndText).size == 70,
              "bytes, halves and byte arrays");

TEST(RecordLayout, CANRecords) {
    {
        CANTypes::CANReceiveTableEntry r{};
        auto& [f0, f1, f2, f3, f4] = r;
        abiguard::ExpectLayout<CANTypes::CANReceiveTableEntry>(
            "CANReceiveTableEntry", {ABI_FIELD(r, f0, Identifier, std::uint32_t),
                                     ABI_FIELD(r, f1, Mask, std::uint32_t),
                                     ABI_FIELD(r, f2, Type, CANTypes::FrameType),
                                     ABI_FIELD(r, f3, Callback, CANCallback),
                                     ABI_FIELD(r, f4, Context, void*)});
    }
    {
        CANTypes::CANTransmitTableEntry r{};
        auto& [f0, f1, f2, f3, f4] = r;
        abiguard::ExpectLayout<CANTypes::CANTransmitTableEntry>(
            "CANTransmitTableEntry", {ABI_FIELD(r, f0, Data, const unsigned char*),
                                      ABI_FIELD(r, f1, Length, std::uint8_t),
                                      ABI_FIELD(r, f2, Identifier, std::uint32_t),
                                      ABI_FIELD(r, f3, Type, CANTypes::FrameType),
                                      ABI_FIELD(r, f4, Period, std::int64_t)});
    }
    {
        CANTypes::CANMessage r{};
        auto& [f0, f1, f2, f3, f4] = r;
        abiguard::ExpectLayout<CANTypes::CANMessage>(
            "CANMessage", {ABI_FIELD(r, f0, Bus, CoreTypes::CANBus),
                           ABI_FIELD(r, f1, Identifier, std::uint32_t),
                           ABI_FIELD(r, f2, Type, CANTypes::FrameType),
                           ABI_FIELD(r, f3, Length, std::uint8_t),
                           ABI_FIELD(r, f4, Data, std::uint8_t[8])});
    }
}

TEST(RecordLayout, J1939Records) {
    {
        J1939Types::J1939Name r{};
        auto& [f0, f1, f2, f3, f4, f5, f6, f7, f8] = r;
        abiguard::ExpectLayout<J1939Types::J1939Name>(
            "J1939Name", {ABI_FIELD(r, f0, ArbitraryAddressCapable, std::uint8_t),
                          ABI_FIELD(r, f1, IndustryGroup, std::uint8_t),
                          ABI_FIELD(r, f2, VehicleSystemInstance, std::uint8_t),
                          ABI_FIELD(r, f3, VehicleSystem, std::uint8_t),
                          ABI_FIELD(r, f4, IdentityNumber, std::uint32_t),
                          ABI_FIELD(r, f5, ManufacturerCode, std::uint16_t),
                          ABI_FIELD(r, f6, Function, std::uint8_t),
                          ABI_FIELD(r, f7, FunctionInstance, std::uint8_t),
                          ABI_FIELD(r, f8, ECUInstance, std::uint8_t)});
    }
    {
        J1939Types::J1939ReceiveTableEntry r{};
        auto& [f0, f1, f2, f3, f4] = r;
        abiguard::ExpectLayout<J1939Types::J1939ReceiveTableEntry>(
            "J1939ReceiveTableEntry", {ABI_FIELD(r, f0, PGN, std::uint32_t),
                                       ABI_FIELD(r, f1, SourceAddress, std::uint8_t),
                                       ABI_FIELD(r, f2, SubscriptionMode, std::int32_t),
                                       ABI_FIELD(r, f3, Callback, J1939Callback),
                                       ABI_FIELD(r, f4, Context, void*)});
    }
    {
        J1939Types::J1939TransmitTableEntry r{};
        auto& [f0, f1, f2, f3, f4, f5] = r;
        abiguard::ExpectLayout<J1939Types::J1939TransmitTableEntry>(
            "J1939TransmitTableEntry", {ABI_FIELD(r, f0, Data, const unsigned char*),
                                        ABI_FIELD(r, f1, Length, std::int32_t),
                                        ABI_FIELD(r, f2, PGN, std::uint32_t),
                                        ABI_FIELD(r, f3, Period, std::int64_t),
                                        ABI_FIELD(r, f4, Priority, std::uint8_t),
                                        ABI_FIELD(r, f5, DestinationAddress, std::uint8_t)});
    }
    {
        J1939Types::J1939Message r{};
        auto& [f0, f1, f2, f3, f4, f5, f6] = r;
        abiguard::ExpectLayout<J1939Types::J1939Message>(
            "J1939Message", {ABI_FIELD(r, f0, Bus, CoreTypes::CANBus),
                             ABI_FIELD(r, f1, SourceAddress, std::uint8_t),
                             ABI_FIELD(r, f2, DestinationAddress, std::uint8_t),
                             ABI_FIELD(r, f3, Priority, std::uint8_t),
                             ABI_FIELD(r, f4, PGN, std::uint32_t),
                             ABI_FIELD(r, f5, Length, std::uint16_t),
                             ABI_FIELD(r, f6, Data, std::uint8_t[1785])});
    }
}

TEST(RecordLayout, J1708Records) {
    {
        J1708Types::J1708ReceiveTableEntry r{};
        auto& [f0, f1, f2] = r;
        abiguard::ExpectLayout<J1708Types::J1708ReceiveTableEntry>(
            "J1708ReceiveTableEntry", {ABI_FIELD(r, f0, Mid, std::uint8_t),
                                       ABI_FIELD(r, f1, Callback, J1708Callback),
                                       ABI_FIELD(r, f2, Context, void*)});
    }
    {
        J1708Types::J1708TransmitTableEntry r{};
        auto& [f0, f1, f2, f3, f4] = r;
        abiguard::ExpectLayout<J1708Types::J1708TransmitTableEntry>(
            "J1708TransmitTableEntry", {ABI_FIELD(r, f0, Data, const unsigned char*),
                                        ABI_FIELD(r, f1, Length, std::uint8_t),
                                        ABI_FIELD(r, f2, Mid, std::uint8_t),
                                        ABI_FIELD(r, f3, Period, std::int64_t),
                                        ABI_FIELD(r, f4, Priority, std::uint8_t)});
    }
    {
        J1708Types::J1708Message r{};
        auto& [f0, f1, f2, f3, f4] = r;
        abiguard::ExpectLayout<J1708Types::J1708Message>(
            "J1708Message", {ABI_FIELD(r, f0, Mid, std::uint8_t),
                             ABI_FIELD(r, f1, Checksum, std::uint8_t),
                             ABI_FIELD(r, f2, Priority, std::uint8_t),
                             ABI_FIELD(r, f3, Length, std::uint8_t),
                             ABI_FIELD(r, f4, Data, std::uint8_t[20])});
    }
}

TEST(RecordLayout, PluginRecords) {
    {
        PluginTypes::FileStats r{};
        auto& [f0, f1] = r;
        abiguard::ExpectLayout<PluginTypes::FileStats>(
            "FileStats", {ABI_FIELD(r, f0, Value0, std::uint32_t), ABI_FIELD(r, f1, Value1, std::uint32_t)});
    }
    {
        PluginTypes::FileData r{};
        auto& [f0, f1, f2, f3] = r;
        abiguard::ExpectLayout<PluginTypes::FileData>(
            "FileData", {ABI_FIELD(r, f0, Value0, std::uint32_t), ABI_FIELD(r, f1, Value1, std::uint32_t),
                         ABI_FIELD(r, f2, Length, std::uint32_t),
                         ABI_FIELD(r, f3, Data, std::uint8_t[4096])});
    }
    {
        PluginTypes::JobInfo r{};
        auto& [f0, f1, f2] = r;
        abiguard::ExpectLayout<PluginTypes::JobInfo>(
            "JobInfo", {ABI_FIELD(r, f0, CommsMode, std::int32_t), ABI_FIELD(r, f1, Bus, CoreTypes::CANBus),
                        ABI_FIELD(r, f2, JobParameter, std::uint8_t)});
    }
}

// The host's table: fourteen pointer-sized entries, each with its signature.
TEST(RecordLayout, ServiceProviders) {
    using Notify = void (*)(void*);
    using TaskSchedule = std::int32_t (*)(void*, TaskFunction, void*, std::int64_t);
    using TaskOnId = void (*)(void*, std::int32_t);
    CoreTypes::ServiceProviders r{};
    auto& [f0, f1, f2, f3, f4, f5, f6, f7, f8, f9, f10, f11, f12, f13] = r;
    abiguard::ExpectLayout<CoreTypes::ServiceProviders>(
        "ServiceProviders",
        {ABI_FIELD(r, f0, hostContext, void*), ABI_FIELD(r, f1, notifyAppShutdown, Notify),
         ABI_FIELD(r, f2, setVersionInfo, void (*)(void*, std::int32_t, std::int32_t, std::int32_t, std::int32_t)),
         ABI_FIELD(r, f3, messageDispatchBegin, Notify), ABI_FIELD(r, f4, messageDispatchEnd, Notify),
         ABI_FIELD(r, f5, getPluginId, std::int32_t (*)(void*)), ABI_FIELD(r, f6, reserved, void*),
         ABI_FIELD(r, f7, taskContext, void*), ABI_FIELD(r, f8, taskScheduleAt, TaskSchedule),
         ABI_FIELD(r, f9, taskScheduleEvery, TaskSchedule),
         ABI_FIELD(r, f10, taskScheduleAsync, std::int32_t (*)(void*, TaskFunction, void*)),
         ABI_FIELD(r, f11, taskCancel, TaskOnId), ABI_FIELD(r, f12, taskCheckInAsync, TaskOnId),
         ABI_FIELD(r, f13, taskDisableWatchdogAsync, TaskOnId)});
    EXPECT_EQ(sizeof(CoreTypes::ServiceProviders), 14 * sizeof(void*));
}

// The platform's version record, which applications receive and release.
TEST(RecordLayout, VersionInfo) {
    PlatformServices::Helper::VersionInfo r{};
    auto& [f0, f1, f2, f3, f4, f5, f6, f7] = r;
    abiguard::ExpectLayout<PlatformServices::Helper::VersionInfo>(
        "VersionInfo", {ABI_FIELD(r, f0, Major, std::int32_t), ABI_FIELD(r, f1, Minor, std::int32_t),
                        ABI_FIELD(r, f2, Revision, std::int32_t), ABI_FIELD(r, f3, Build, std::int32_t),
                        ABI_FIELD(r, f4, Flags, std::uint32_t), ABI_FIELD(r, f5, Name, char[64]),
                        ABI_FIELD(r, f6, InterfaceVersion, std::int32_t),
                        ABI_FIELD(r, f7, PartNumber, char[16])});
}

}  // namespace
