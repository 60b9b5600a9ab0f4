// Thread rule: constants and pure functions only; safe from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "bus/Frames.h"

namespace gatewaysim {

// IPC categories served by the simulator, and the address each service
// answers from.
constexpr std::int32_t kCategoryCan = 10;
constexpr std::int32_t kCategoryJ1939 = 13;
constexpr std::int32_t kCategoryJ1708 = 20;
constexpr std::int32_t kCategoryCustomApp = 22;  // virtual EEPROM and plug-in jobs

constexpr std::int32_t kAddressCan = 254;
constexpr std::int32_t kAddressJ1939 = 13;
constexpr std::int32_t kAddressJ1708 = 254;
constexpr std::int32_t kAddressCustomApp = 22;

// Payloads are byte images in little-endian order. These helpers read and
// write them without alignment assumptions.
inline std::uint16_t GetU16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
inline std::uint32_t GetU32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
inline std::int32_t GetI32(const std::uint8_t* p) {
    const std::uint32_t u = GetU32(p);
    std::int32_t v;
    std::memcpy(&v, &u, 4);
    return v;
}
inline void PutU16(std::uint8_t* p, std::uint16_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}
inline void PutU32(std::uint8_t* p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
    p[2] = static_cast<std::uint8_t>(v >> 16);
    p[3] = static_cast<std::uint8_t>(v >> 24);
}
inline void PutI32(std::uint8_t* p, std::int32_t v) {
    std::uint32_t u;
    std::memcpy(&u, &v, 4);
    PutU32(p, u);
}

// --- CAN service (category 10) -------------------------------------------
namespace can {
constexpr std::int32_t kCmdReceived = 1;        // to the application: one frame
constexpr std::int32_t kCmdSubscribe = 2;       // add one subscription
constexpr std::int32_t kCmdUnsubscribeAll = 3;  // withdraw all of them
constexpr std::int32_t kCmdSend = 4;            // send one frame
constexpr std::int32_t kCmdUnsubscribe = 5;     // withdraw one subscription

// Frame record: identifier (4), extended flag (1), bus (1), reserved (1),
// length (1), data (8).
constexpr std::size_t kFrameRecordBytes = 16;
// Subscription record: bus (1), padding (3), identifier (4), mask (4).
constexpr std::size_t kSubscriptionBytes = 12;
}  // namespace can

// --- J1939 service (category 13) -----------------------------------------
namespace j1939 {
constexpr std::int32_t kCmdRequest = 0;            // 2-byte request number
constexpr std::int32_t kCmdInterfaceManager = 1;   // bus
constexpr std::int32_t kCmdSubscribe = 3;          // subscription record
constexpr std::int32_t kCmdSend = 4;               // send record
constexpr std::int32_t kCmdReceived = 5;           // to the application
constexpr std::int32_t kCmdCreateCA = 6;           // bus, address, NAME
constexpr std::int32_t kCmdRemoveCA = 7;           // bus, address
constexpr std::int32_t kCmdCAsPresent = 10;        // reply to request 10
constexpr std::int32_t kCmdUnsubscribe = 11;       // subscription record
constexpr std::int32_t kCmdStaticCAs = 12;         // reply to request 12

constexpr std::uint16_t kRequestCAsPresent = 10;
constexpr std::uint16_t kRequestStaticCAs = 12;

constexpr std::size_t kCreateCABytes = 20;      // bus, address, reserved (2), NAME (16)
constexpr std::size_t kNameRecordBytes = 16;
constexpr std::size_t kSubscriptionBytes = 16;  // bus, reserved (3), mode, PGN, address, reserved (3)
constexpr std::size_t kSendHeaderBytes = 20;
constexpr std::size_t kReceiveHeaderBytes = 12;
constexpr std::size_t kMaxPayload = 1785;

constexpr std::uint8_t kNullAddress = 254;
constexpr std::uint8_t kGlobalAddress = 255;
}  // namespace j1939

// --- J1708 service (category 20) -----------------------------------------
namespace j1708 {
constexpr std::int32_t kCmdSend = 1;
constexpr std::int32_t kCmdReceived = 2;
constexpr std::int32_t kCmdSubscribe = 3;
constexpr std::int32_t kCmdUnsubscribe = 4;

// Record: reserved (1), priority (1), count (1), frame (30).
constexpr std::size_t kRecordBytes = 33;
constexpr std::size_t kFrameCapacity = 30;
// A frame on the bus is at most 21 bytes: MID, data and checksum.
constexpr std::size_t kMaxBusFrame = 21;
constexpr std::size_t kMaxDataBytes = kMaxBusFrame - 2;
}  // namespace j1708

// --- Custom-application service (category 22) -----------------------------
namespace eeprom {
constexpr std::int32_t kCmdRead = 1;
constexpr std::int32_t kCmdWrite = 3;
constexpr std::int32_t kCmdState = 5;
constexpr std::int32_t kCmdSave = 7;
constexpr std::int32_t kCmdDestroy = 9;
constexpr std::size_t kReadRequestBytes = 8;
constexpr std::size_t kWriteRequestBytes = 1032;
constexpr std::size_t kReadReplyBytes = 1036;
constexpr std::size_t kWriteReplyBytes = 12;
constexpr std::size_t kValueReplyBytes = 4;
constexpr std::size_t kMaxTransfer = 1024;
}  // namespace eeprom

namespace plugin {
constexpr std::int32_t kCmdJobStart = 13;
constexpr std::int32_t kCmdProgress = 14;
constexpr std::int32_t kCmdFileStats = 15;
constexpr std::int32_t kCmdFileStatsReply = 16;
constexpr std::int32_t kCmdFileData = 17;
constexpr std::int32_t kCmdFileDataReply = 18;
constexpr std::size_t kJobStartBytes = 12;
constexpr std::size_t kProgressBytes = 12;
constexpr std::size_t kFileStatsRequestBytes = 8;
constexpr std::size_t kFileStatsReplyBytes = 12;
constexpr std::size_t kFileDataRequestBytes = 20;
constexpr std::size_t kFileDataReplyBytes = 4120;
constexpr std::size_t kBlockBytes = 4096;
}  // namespace plugin

}  // namespace gatewaysim
