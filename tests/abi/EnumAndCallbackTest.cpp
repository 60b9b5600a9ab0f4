// Public enumerations travel as 32-bit values and callbacks as plain function
// pointers of fixed signatures; applications compiled against one version of
// the headers must keep working with the next.
#include <gtest/gtest.h>

#include <cstdint>
#include <type_traits>

#include <customapp/CANTypes.h>
#include <customapp/CoreTypes.h>
#include <customapp/J1708Types.h>
#include <customapp/J1939Types.h>
#include <customapp/PluginTypes.h>

using namespace CustomApplication;

namespace {

template <typename E>
::testing::AssertionResult IsFixed32(const char* name) {
    if (!std::is_enum<E>::value) return ::testing::AssertionFailure() << name << " is not an enumeration";
    if (!std::is_same<std::underlying_type_t<E>, std::int32_t>::value)
        return ::testing::AssertionFailure() << name << " has no fixed int32 underlying type";
    if (sizeof(E) != 4 || alignof(E) != 4)
        return ::testing::AssertionFailure() << name << " is " << sizeof(E) << " bytes, aligned to " << alignof(E);
    return ::testing::AssertionSuccess();
}

// Every public enumeration; one added to a public header belongs here.
TEST(PublicEnumerations, AreFixed32BitValues) {
    EXPECT_TRUE(IsFixed32<CoreTypes::CANBus>("CoreTypes::CANBus"));
    EXPECT_TRUE(IsFixed32<CoreTypes::ResultCode>("CoreTypes::ResultCode"));
    EXPECT_TRUE(IsFixed32<CoreTypes::ConnectionState>("CoreTypes::ConnectionState"));
    EXPECT_TRUE(IsFixed32<CoreTypes::ConnectionNotice>("CoreTypes::ConnectionNotice"));
    EXPECT_TRUE(IsFixed32<CANTypes::FrameType>("CANTypes::FrameType"));
    EXPECT_TRUE(IsFixed32<PluginTypes::FileMode>("PluginTypes::FileMode"));
    EXPECT_TRUE(IsFixed32<PluginTypes::OperationState>("PluginTypes::OperationState"));
}

// Values that applications compile in.
TEST(PublicEnumerations, KeepTheirValues) {
    // Both spellings of a frame format compile: the enumerators are reachable
    // through the namespace and through the type.
    static_assert(CANTypes::Extended == CANTypes::FrameType::Extended, "");
    static_assert(CANTypes::Standard == CANTypes::FrameType::Standard, "");
    EXPECT_EQ(static_cast<std::int32_t>(CANTypes::FrameType::Standard), 0);
    EXPECT_EQ(static_cast<std::int32_t>(CANTypes::Extended), 1);

    const CoreTypes::CANBus buses[] = {CoreTypes::CANBus0, CoreTypes::CANBus1, CoreTypes::CANBus2,
                                       CoreTypes::CANBus3, CoreTypes::CANBus4, CoreTypes::CANBusUnknown};
    for (std::int32_t i = 0; i < 6; ++i) EXPECT_EQ(static_cast<std::int32_t>(buses[i]), i);

    EXPECT_EQ(static_cast<std::int32_t>(PluginTypes::FileMode0), 0);
    EXPECT_EQ(static_cast<std::int32_t>(PluginTypes::FileMode1), 1);

    const std::pair<CoreTypes::ResultCode, std::int32_t> codes[] = {
        {CoreTypes::Success, 0},          {CoreTypes::NotPermitted, -1},       {CoreTypes::NoEntry, -2},
        {CoreTypes::TooBig, -7},          {CoreTypes::OutOfMemory, -12},       {CoreTypes::AccessDenied, -13},
        {CoreTypes::AlreadyExists, -17},  {CoreTypes::InvalidArgument, -22},   {CoreTypes::TimedOut, -110},
        {CoreTypes::AlreadyInitialised, -114}, {CoreTypes::NotRecoverable, -131},
        {CoreTypes::PlatformBusy, -11},   {CoreTypes::BadAddress, -14},        {CoreTypes::BrokenPipe, -32},
        {CoreTypes::NameTooLong, -36},    {CoreTypes::ProtocolError, -71},     {CoreTypes::AddressInUse, -98},
        {CoreTypes::AddressLost, -99},    {CoreTypes::ConnectionReset, -104}, {CoreTypes::NotConnected, -107},
        {CoreTypes::ConnectionRefused, -111}, {CoreTypes::IOError, -5},  {CoreTypes::Busy, -16},
        {CoreTypes::FileTooBig, -27},     {CoreTypes::NoSpace, -28},
        {CoreTypes::CalledFromCallback, -35}};
    for (const auto& code : codes) EXPECT_EQ(static_cast<std::int32_t>(code.first), code.second);
    EXPECT_EQ(static_cast<std::int32_t>(CoreTypes::ConnectionClosed), 0);
    EXPECT_EQ(static_cast<std::int32_t>(CoreTypes::ConnectionUp), 1);
    EXPECT_EQ(static_cast<std::int32_t>(CoreTypes::ConnectionLost), 2);
    EXPECT_EQ(static_cast<std::int32_t>(CoreTypes::NoticeConnectionLost), 1);
    EXPECT_EQ(static_cast<std::int32_t>(CoreTypes::NoticeConnectionRestored), 2);
    EXPECT_EQ(static_cast<std::int32_t>(CoreTypes::NoticeAddressLost), 3);
    EXPECT_EQ(static_cast<std::int32_t>(CoreTypes::NoticeAddressRegained), 4);
}

// The callback types, exactly as the interface gives their signatures.
TEST(PublicCallbacks, HaveTheirExactSignatures) {
    EXPECT_TRUE((std::is_same<CANTypes::CANReceiveCallback,
                              void (*)(void*, CoreTypes::CANBus, unsigned int, CANTypes::FrameType,
                                       const unsigned char*, unsigned char)>::value));
    EXPECT_TRUE((std::is_same<J1939Types::J1939ReceiveCallback,
                              void (*)(void*, CoreTypes::CANBus, unsigned int, unsigned char, unsigned char,
                                       unsigned char, const unsigned char*, unsigned short)>::value));
    EXPECT_TRUE((std::is_same<J1708Types::J1708ReceiveCallback,
                              void (*)(void*, unsigned char, unsigned char, unsigned char,
                                       const unsigned char*, unsigned char)>::value));
    EXPECT_TRUE((std::is_same<PluginTypes::JobStartNotifier, void (*)(void*, const PluginTypes::JobInfo*)>::value));
    EXPECT_TRUE((std::is_same<CoreTypes::TaskFunction, void (*)(void*, std::int32_t)>::value));
    EXPECT_TRUE((std::is_same<CoreTypes::ConnectionNotifier, void (*)(void*, std::int32_t, std::int32_t)>::value));
}

}  // namespace
