// A scriptable application for the integration tests: it reads commands on
// standard input, one per line, and prints results and everything it
// receives on standard output, one line each. End of input shuts it down.
//
//     integration_peer ADDRESS [MODE]
//
// Commands (numbers in hex, data as hex bytes without separators, "-" for none):
//   can-init BUS [ID PERIOD]    CANInit with catch-alls for both formats and,
//                               when given, a cyclic standard row ID every PERIOD ms
//   can-send BUS ID EXT DATA    one frame
//   ca BUS ADDRESS IDENTITY     J1939CreateCA with catch-all
//   j1939-send BUS SA DA PGN PRIO DATA
//   ee-write ADDRESS DATA, ee-read ADDRESS LENGTH, ee-save, ee-state
// Printed: "result COMMAND VALUE [DATA]" per command, and
//   "can BUS ID EXT DATA", "j1939 BUS PGN SA DA PRIO DATA" per received message.
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include <customapp/TarvexInterface.h>

#include "TestHost.h"

using namespace CustomApplication;

namespace {

std::mutex g_output;

void Print(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Print(const char* format, ...) {
    std::lock_guard<std::mutex> guard(g_output);
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

std::string Hex(const unsigned char* data, std::size_t length) {
    if (length == 0) return "-";
    std::string text;
    char digits[3];
    for (std::size_t i = 0; i < length; ++i) {
        std::snprintf(digits, sizeof(digits), "%02X", data[i]);
        text += digits;
    }
    return text;
}

std::vector<unsigned char> Bytes(const std::string& hex) {
    std::vector<unsigned char> bytes;
    if (hex == "-") return bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        bytes.push_back(static_cast<unsigned char>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    return bytes;
}

void OnCan(void*, CoreTypes::CANBus bus, unsigned int id, CANTypes::FrameType type, const unsigned char* data,
           unsigned char length) {
    Print("can %d %X %d %s", bus, id, type == CANTypes::Extended ? 1 : 0, Hex(data, length).c_str());
}

void OnJ1939(void*, CoreTypes::CANBus bus, unsigned int pgn, unsigned char source, unsigned char destination,
             unsigned char priority, const unsigned char* data, unsigned short length) {
    Print("j1939 %d %X %X %X %u %s", bus, pgn, source, destination, priority, Hex(data, length).c_str());
}

unsigned long Number(std::istringstream& in) {
    std::string word;
    in >> word;
    return std::stoul(word, nullptr, 16);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: integration_peer ADDRESS [MODE]\n");
        return 2;
    }
    testsupport::TestHost host;
    TarvexInterface sdk;
    const std::int32_t init = sdk.Init(std::atoi(argv[1]), host.Table(), argc > 2 ? std::atoi(argv[2]) : 0);
    Print("result init %d", init);
    if (init != 0) return 1;

    std::string line;
    while (std::getline(std::cin, line)) {
        std::istringstream in(line);
        std::string command;
        in >> command;
        try {
            if (command == "can-init") {
                const auto bus = static_cast<CoreTypes::CANBus>(Number(in));
                CANTypes::CANReceiveTableEntry receive{};
                static const unsigned char kCycle[4] = {0xC0, 0xFF, 0xEE, 0x00};
                CANTypes::CANTransmitTableEntry transmit{kCycle, 4, 0, CANTypes::Standard, 0};
                std::int32_t count = 0;
                std::string id;
                if (in >> id) {
                    transmit.Identifier = static_cast<std::uint32_t>(std::stoul(id, nullptr, 16));
                    transmit.Period = static_cast<std::int64_t>(Number(in));
                    count = 1;
                }
                const std::int32_t uid = sdk.CANInit(bus, &receive, 0, &transmit, count);
                const std::int32_t standard = sdk.CANRegisterReceiveAllMessages(bus, CANTypes::Standard, OnCan, nullptr);
                const std::int32_t extended = sdk.CANRegisterReceiveAllMessages(bus, CANTypes::Extended, OnCan, nullptr);
                Print("result can-init %d %d %d", uid, standard, extended);
            } else if (command == "can-send") {
                CANTypes::CANMessage message{};
                message.Bus = static_cast<CoreTypes::CANBus>(Number(in));
                message.Identifier = static_cast<std::uint32_t>(Number(in));
                message.Type = Number(in) != 0 ? CANTypes::Extended : CANTypes::Standard;
                std::string data;
                in >> data;
                const std::vector<unsigned char> bytes = Bytes(data);
                message.Length = static_cast<std::uint8_t>(bytes.size());
                for (std::size_t i = 0; i < bytes.size() && i < 8; ++i) message.Data[i] = bytes[i];
                Print("result can-send %d", sdk.CANSendMessage(&message));
            } else if (command == "ca") {
                const auto bus = static_cast<CoreTypes::CANBus>(Number(in));
                const auto address = static_cast<unsigned char>(Number(in));
                J1939Types::J1939Name name{};
                name.IdentityNumber = static_cast<std::uint32_t>(Number(in));
                J1939Types::J1939ReceiveTableEntry receive{};
                J1939Types::J1939TransmitTableEntry transmit{};
                const std::int32_t uid = sdk.J1939CreateCA(bus, address, &name, &receive, 0, &transmit, 0);
                const std::int32_t all = uid > 0 ? sdk.J1939RegisterReceiveAllMessages(uid, OnJ1939, nullptr) : uid;
                Print("result ca %d %d", uid, all);
            } else if (command == "j1939-send") {
                static J1939Types::J1939Message message;
                message = J1939Types::J1939Message{};
                message.Bus = static_cast<CoreTypes::CANBus>(Number(in));
                message.SourceAddress = static_cast<std::uint8_t>(Number(in));
                message.DestinationAddress = static_cast<std::uint8_t>(Number(in));
                message.PGN = static_cast<std::uint32_t>(Number(in));
                message.Priority = static_cast<std::uint8_t>(Number(in));
                std::string data;
                in >> data;
                const std::vector<unsigned char> bytes = Bytes(data);
                message.Length = static_cast<std::uint16_t>(bytes.size());
                for (std::size_t i = 0; i < bytes.size() && i < J1939Types::MaxMessageLength; ++i)
                    message.Data[i] = bytes[i];
                Print("result j1939-send %d", sdk.J1939SendMessage(&message));
            } else if (command == "ee-write") {
                const auto address = static_cast<std::uint32_t>(Number(in));
                std::string data;
                in >> data;
                const std::vector<unsigned char> bytes = Bytes(data);
                Print("result ee-write %d",
                      sdk.EEPROMWrite(address, bytes.data(), static_cast<std::int32_t>(bytes.size())));
            } else if (command == "ee-read") {
                const auto address = static_cast<std::uint32_t>(Number(in));
                std::vector<unsigned char> bytes(Number(in));
                const std::int32_t result =
                    sdk.EEPROMRead(address, bytes.data(), static_cast<std::int32_t>(bytes.size()));
                Print("result ee-read %d %s", result, Hex(bytes.data(), result == 0 ? bytes.size() : 0).c_str());
            } else if (command == "ee-save") {
                Print("result ee-save %d", sdk.EEPROMSave());
            } else if (command == "ee-state") {
                Print("result ee-state %d", sdk.EEPROMGetState());
            } else if (!command.empty()) {
                Print("result unknown -1");
            }
        } catch (const std::exception&) {
            Print("result malformed -1");
        }
    }
    sdk.Shutdown();
    Print("result shutdown 0");
    return 0;
}
