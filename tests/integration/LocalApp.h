// Thread rule: the recording callbacks run on the library's listener thread;
// every other member is called from the test's thread.
//
// The test process as an application: a TarvexInterface initialised against
// the simulator, whose callbacks record what they receive as text lines in
// the peer's format ("can BUS ID EXT DATA", "j1939 BUS PGN SA DA PRIO DATA").
#pragma once

#include <algorithm>
#include <cstdint>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <customapp/TarvexInterface.h>

#include "Harness.h"
#include "TestHost.h"

namespace integration {

inline std::string HexBytes(const unsigned char* data, std::size_t length) {
    if (length == 0) return "-";
    std::string text;
    char digits[3];
    for (std::size_t i = 0; i < length; ++i) {
        std::snprintf(digits, sizeof(digits), "%02X", data[i]);
        text += digits;
    }
    return text;
}

class LocalApp {
public:
    // Points the library at `endpoint` and initialises it at `address` in
    // `mode` (0 application, 1 plug-in).
    LocalApp(const std::string& endpoint, std::int32_t address, std::int32_t mode = 0) {
        setenv("GATREL_ENDPOINT", endpoint.c_str(), 1);
        init_ = sdk.Init(address, host_.Table(), mode);
    }
    ~LocalApp() { sdk.Shutdown(); }

    std::int32_t InitResult() const { return init_; }

    // CANInit on `bus` with no rows and catch-alls for both formats.
    bool ListenToCan(CustomApplication::CoreTypes::CANBus bus) {
        CustomApplication::CANTypes::CANReceiveTableEntry receive{};
        CustomApplication::CANTypes::CANTransmitTableEntry transmit{};
        if (sdk.CANInit(bus, &receive, 0, &transmit, 0) <= 0) return false;
        return sdk.CANRegisterReceiveAllMessages(bus, CustomApplication::CANTypes::Standard, OnCan, this) == 0 &&
               sdk.CANRegisterReceiveAllMessages(bus, CustomApplication::CANTypes::Extended, OnCan, this) == 0;
    }
    // CANInit on `bus` with one receive row per (identifier, extended) that
    // takes exactly that frame, and the transmit rows `transmit`.
    std::int32_t InitCanRows(CustomApplication::CoreTypes::CANBus bus,
                             const std::vector<std::pair<std::uint32_t, bool>>& rows,
                             std::vector<CustomApplication::CANTypes::CANTransmitTableEntry> transmit) {
        std::vector<CustomApplication::CANTypes::CANReceiveTableEntry> receive;
        for (const auto& [id, extended] : rows)
            receive.push_back({id, extended ? 0x1FFFFFFFu : 0x7FFu,
                               extended ? CustomApplication::CANTypes::Extended : CustomApplication::CANTypes::Standard,
                               OnCan, this});
        return sdk.CANInit(bus, receive.data(), static_cast<std::int32_t>(receive.size()), transmit.data(),
                           static_cast<std::int32_t>(transmit.size()));
    }
    std::int32_t SendCan(CustomApplication::CoreTypes::CANBus bus, std::uint32_t id, bool extended,
                         const std::vector<unsigned char>& data) {
        CustomApplication::CANTypes::CANMessage message{};
        message.Bus = bus;
        message.Identifier = id;
        message.Type = extended ? CustomApplication::CANTypes::Extended : CustomApplication::CANTypes::Standard;
        message.Length = static_cast<std::uint8_t>(data.size());
        for (std::size_t i = 0; i < data.size() && i < 8; ++i) message.Data[i] = data[i];
        return sdk.CANSendMessage(&message);
    }
    // A one-shot J1939 message from the CA at `source` on `bus`.
    std::int32_t SendJ1939(CustomApplication::CoreTypes::CANBus bus, unsigned char source, unsigned char destination,
                           unsigned char priority, std::uint32_t pgn, const std::vector<unsigned char>& data) {
        CustomApplication::J1939Types::J1939Message message{};
        message.Bus = bus;
        message.SourceAddress = source;
        message.DestinationAddress = destination;
        message.Priority = priority;
        message.PGN = pgn;
        message.Length = static_cast<unsigned short>(std::min(data.size(), sizeof message.Data));
        std::copy_n(data.begin(), message.Length, message.Data);
        return sdk.J1939SendMessage(&message);
    }
    // J1939CreateCA with a NAME of identity `identity` and a catch-all.
    std::int32_t CreateCa(CustomApplication::CoreTypes::CANBus bus, unsigned char address, std::uint32_t identity) {
        CustomApplication::J1939Types::J1939Name name{};
        name.IdentityNumber = identity;
        CustomApplication::J1939Types::J1939ReceiveTableEntry receive{};
        CustomApplication::J1939Types::J1939TransmitTableEntry transmit{};
        const std::int32_t uid = sdk.J1939CreateCA(bus, address, &name, &receive, 0, &transmit, 0);
        if (uid > 0 && sdk.J1939RegisterReceiveAllMessages(uid, OnJ1939, this) != 0) return -1;
        return uid;
    }

    std::vector<std::string> Received() const {
        std::lock_guard<std::mutex> guard(lock_);
        return received_;
    }
    // Waits until at least `count` lines starting with `prefix` arrived; returns them.
    std::vector<std::string> Await(const std::string& prefix, std::size_t count, int timeoutMs = kBoundMs) const {
        std::vector<std::string> found;
        std::unique_lock<std::mutex> guard(lock_);
        changed_.wait_for(guard, std::chrono::milliseconds(timeoutMs), [&] {
            found.clear();
            for (const std::string& line : received_) {
                if (line.compare(0, prefix.size(), prefix) == 0) found.push_back(line);
            }
            return found.size() >= count;
        });
        return found;
    }

    CustomApplication::TarvexInterface sdk;

    // The callbacks that record what arrives; the context is the LocalApp.
    static void OnCan(void* context, CustomApplication::CoreTypes::CANBus bus, unsigned int id,
                      CustomApplication::CANTypes::FrameType type, const unsigned char* data, unsigned char length) {
        char head[64];
        std::snprintf(head, sizeof(head), "can %d %X %d ", bus, id, type == CustomApplication::CANTypes::Extended);
        static_cast<LocalApp*>(context)->Add(head + HexBytes(data, length));
    }
    static void OnJ1939(void* context, CustomApplication::CoreTypes::CANBus bus, unsigned int pgn,
                        unsigned char source, unsigned char destination, unsigned char priority,
                        const unsigned char* data, unsigned short length) {
        char head[64];
        std::snprintf(head, sizeof(head), "j1939 %d %X %X %X %u ", bus, pgn, source, destination, priority);
        static_cast<LocalApp*>(context)->Add(head + HexBytes(data, length));
    }

private:
    void Add(const std::string& line) {
        {
            std::lock_guard<std::mutex> guard(lock_);
            received_.push_back(line);
        }
        changed_.notify_all();
    }
    testsupport::TestHost host_;
    std::int32_t init_ = -1;
    mutable std::mutex lock_;
    mutable std::condition_variable changed_;
    std::vector<std::string> received_;
};

// The lines of `list` that describe the application at `address`.
inline std::string SectionOf(const std::string& list, std::int32_t address) {
    const std::string head = "application " + std::to_string(address) + ":";
    std::string section;
    bool inside = false;
    for (const std::string& line : SplitLines(list)) {
        if (line.compare(0, 12, "application ") == 0 || line.compare(0, 7, "static ") == 0)
            inside = line.compare(0, head.size(), head) == 0;
        if (inside) section += line + "\n";
    }
    return section;
}

inline bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

}  // namespace integration
