// A gateway application for the small truck of truck.dbc: a J1939 controller
// application on bus 1 that reads the vehicle speed (CCVS1, PGN 65265) and
// the engine speed (EEC1, PGN 61444), reports both with its verdict in its
// own message (GatewayStatus, PGN 65296, every 100 ms), raises its own DM1
// (PGN 65226) with SPN 190 FMI 0 and the amber lamp while the engine
// overspeeds, and answers requests (PGN 59904) for its software
// identification (PGN 65242).
//
//     truck_gateway [SECONDS [ADDRESS [OVERSPEED-RPM]]]
//
// It runs for SECONDS (default 30; SIGINT or SIGTERM end it earlier) as the
// application at ADDRESS (default 120); the engine overspeeds above
// OVERSPEED-RPM (default 2500) and is back to normal 200 rpm below it.
// GATREL_ENDPOINT selects the platform endpoint, for instance a
// gateway-sim's:
//
//     gateway-sim --dbc truck.dbc --nodes truck.nodes --script truck.scenario
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include <customapp/TarvexInterface.h>

#include "host/ExampleHost.h"
#include "host/Output.h"

using namespace CustomApplication;
using examples::Say;

namespace {

const char* const kUsage = "usage: truck_gateway [SECONDS [ADDRESS [OVERSPEED-RPM]]]\n";

constexpr unsigned char kAddress = 0x80;  // the CA's J1939 address
constexpr CoreTypes::CANBus kBus = CoreTypes::CANBus1;

constexpr std::uint32_t kEec1 = 0xF004;
constexpr std::uint32_t kCcvs1 = 0xFEF1;
constexpr std::uint32_t kRequest = 0xEA00;
constexpr std::uint32_t kAcknowledgement = 0xE800;
constexpr std::uint32_t kStatus = 0xFF10;  // proprietary B: GatewayStatus of truck.dbc
constexpr std::uint32_t kDm1 = 0xFECA;
constexpr std::uint32_t kSoftware = 0xFEDA;

// Rows of the CA's transmit table.
constexpr std::int32_t kStatusRow = 0;
constexpr std::int32_t kDm1Row = 1;

constexpr std::uint32_t kSpnEngineSpeed = 190;
constexpr std::uint8_t kFmiAboveNormal = 0;  // data valid but above normal range, most severe
constexpr unsigned char kAmberOn = 0x04;     // lamp status byte: amber warning lamp (bits 3-2) on

// Two fields, each ended by '*', after their count.
const char kSoftwareIdentification[] = "\x02TRUCK-GW 1.0.0*BUILD 31*";

// What the callbacks (on the library's listener thread) share with nobody
// else but the status payload, which they build.
struct Gateway {
    TarvexInterface* sdk = nullptr;
    std::atomic<std::int32_t> ca{0};  // 0 until J1939CreateCA has returned
    double overspeedRpm = 2500;
    std::mutex lock;
    std::uint16_t speedRaw = 0;   // 1/256 km/h
    std::uint16_t engineRaw = 0;  // 0.125 rpm
    bool overspeed = false;
    std::uint8_t overspeeds = 0;  // occurrence count of the DTC
    std::uint8_t answered = 0;
};

Gateway g_gateway;

// The status message and, when the overspeed verdict changed, DM1: as
// J1939-73 asks, a DM1 goes out at once when its active DTCs change, then
// keeps its 1 s period.
void Publish(bool changed) {
    const std::int32_t ca = g_gateway.ca.load();
    if (ca <= 0) return;
    unsigned char status[8];
    unsigned char dm1[8] = {0x00, 0xFF, 0x00, 0x00, 0x00, 0x00, 0xFF, 0xFF};  // no active faults
    {
        std::lock_guard<std::mutex> guard(g_gateway.lock);
        status[0] = static_cast<unsigned char>(g_gateway.speedRaw);
        status[1] = static_cast<unsigned char>(g_gateway.speedRaw >> 8);
        status[2] = static_cast<unsigned char>(g_gateway.engineRaw);
        status[3] = static_cast<unsigned char>(g_gateway.engineRaw >> 8);
        status[4] = static_cast<unsigned char>(0xFC | (g_gateway.overspeed ? 1 : 0));
        status[5] = g_gateway.overspeeds;
        status[6] = g_gateway.answered;
        status[7] = 0xFF;
        if (g_gateway.overspeed) {
            dm1[0] = kAmberOn;
            dm1[2] = static_cast<unsigned char>(kSpnEngineSpeed);
            dm1[3] = static_cast<unsigned char>(kSpnEngineSpeed >> 8);
            dm1[4] = static_cast<unsigned char>((kSpnEngineSpeed >> 16) << 5 | kFmiAboveNormal);
            dm1[5] = static_cast<unsigned char>(g_gateway.overspeeds & 0x7F);
        }
    }
    g_gateway.sdk->J1939UpdateMessageData(ca, kStatusRow, status, sizeof(status));
    if (!changed) return;
    g_gateway.sdk->J1939UpdateMessageData(ca, kDm1Row, dm1, sizeof(dm1));
    const std::int32_t sent = g_gateway.sdk->J1939SendMessage(ca, kDm1Row);
    if (sent != 0) Say("DM1 not sent: %d", sent);
}

void OnEngineSpeed(void*, CoreTypes::CANBus, unsigned int, unsigned char, unsigned char, unsigned char,
                   const unsigned char* data, unsigned short length) {
    if (length < 5) return;
    const std::uint16_t raw = static_cast<std::uint16_t>(data[3] | data[4] << 8);
    if (raw >= 0xFB00) return;  // error or not available
    const double rpm = raw * 0.125;
    bool changed = false;
    {
        std::lock_guard<std::mutex> guard(g_gateway.lock);
        g_gateway.engineRaw = raw;
        if (!g_gateway.overspeed && rpm > g_gateway.overspeedRpm) {
            g_gateway.overspeed = changed = true;
            if (g_gateway.overspeeds < 126) ++g_gateway.overspeeds;
        } else if (g_gateway.overspeed && rpm < g_gateway.overspeedRpm - 200) {
            g_gateway.overspeed = false;
            changed = true;
        }
    }
    if (changed)
        Say(rpm > g_gateway.overspeedRpm ? "engine overspeed: %.1f rpm, DM1 raised" : "engine speed %.1f rpm, DM1 cleared",
            rpm);
    Publish(changed);
}

void OnVehicleSpeed(void*, CoreTypes::CANBus, unsigned int, unsigned char, unsigned char, unsigned char,
                    const unsigned char* data, unsigned short length) {
    if (length < 3) return;
    const std::uint16_t raw = static_cast<std::uint16_t>(data[1] | data[2] << 8);
    if (raw >= 0xFB00) return;
    {
        std::lock_guard<std::mutex> guard(g_gateway.lock);
        g_gateway.speedRaw = raw;
    }
    Publish(false);
}

// A request for a PGN: answered as J1939-21 says, to the requester when the
// request was addressed to this CA, to everyone when it was global; a
// request addressed to it for a PGN it does not send gets a NACK, a global
// one nothing.
void OnRequest(void*, CoreTypes::CANBus bus, unsigned int, unsigned char source, unsigned char destination,
               unsigned char, const unsigned char* data, unsigned short length) {
    if (length < 3) return;
    const std::uint32_t pgn = data[0] | data[1] << 8 | static_cast<std::uint32_t>(data[2]) << 16;
    const bool toMe = destination == kAddress;
    J1939Types::J1939Message answer{};
    answer.Bus = bus;
    answer.SourceAddress = kAddress;
    answer.DestinationAddress = toMe && source != 0xFE ? source : 0xFF;
    answer.Priority = 6;
    std::int32_t sent = 0;
    if (pgn == kSoftware) {
        answer.PGN = kSoftware;
        answer.Length = sizeof(kSoftwareIdentification) - 1;
        std::memcpy(answer.Data, kSoftwareIdentification, answer.Length);
        sent = g_gateway.sdk->J1939SendMessage(&answer);
    } else if ((pgn == kStatus || pgn == kDm1) && g_gateway.ca.load() > 0) {
        sent = g_gateway.sdk->J1939SendMessage(g_gateway.ca.load(), pgn == kStatus ? kStatusRow : kDm1Row);
    } else if (toMe) {
        answer.PGN = kAcknowledgement;
        answer.DestinationAddress = 0xFF;
        answer.Length = 8;
        const unsigned char nack[8] = {0x01, 0xFF, 0xFF, 0xFF, source, data[0], data[1], data[2]};
        std::memcpy(answer.Data, nack, sizeof(nack));
        sent = g_gateway.sdk->J1939SendMessage(&answer);
        Say("request from %02X for PGN %05X: not sent here, NACK: %d", source, pgn, sent);
        return;
    } else {
        return;
    }
    {
        std::lock_guard<std::mutex> guard(g_gateway.lock);
        ++g_gateway.answered;
    }
    Say("request from %02X for PGN %05X: answered to %02X: %d", source, pgn, answer.DestinationAddress, sent);
    Publish(false);
}

}  // namespace

int main(int argc, char** argv) {
    const int seconds = examples::SecondsArgument(argc, argv, 1, 30, kUsage);
    const std::int32_t address = argc > 2 ? std::atoi(argv[2]) : 120;
    g_gateway.overspeedRpm = argc > 3 ? std::atof(argv[3]) : 2500;
    examples::BlockStopSignals();

    examples::ExampleHost host;
    TarvexInterface sdk;
    const std::int32_t init = sdk.Init(address, host.Table(), /*mode=*/0);
    if (init != 0) {
        Say("Init failed: %d (is a platform or gateway-sim serving the endpoint?)", init);
        return 1;
    }
    sdk.SetVersionInfo(1, 0, 0, 31);
    g_gateway.sdk = &sdk;

    J1939Types::J1939Name name{};
    name.IdentityNumber = 0x3100 + static_cast<std::uint32_t>(address);
    name.ManufacturerCode = 0x7F;
    name.Function = 0x81;
    J1939Types::J1939ReceiveTableEntry receive[] = {
        {kEec1, 0, /*mode PGN=*/0, OnEngineSpeed, nullptr},
        {kCcvs1, 0, 0, OnVehicleSpeed, nullptr},
        {kRequest, 0, 0, OnRequest, nullptr},
    };
    const unsigned char status[8] = {0, 0, 0, 0, 0xFC, 0, 0, 0xFF};
    const unsigned char noFaults[8] = {0x00, 0xFF, 0x00, 0x00, 0x00, 0x00, 0xFF, 0xFF};
    J1939Types::J1939TransmitTableEntry transmit[] = {
        {status, sizeof(status), kStatus, 100, 6, 0xFF},
        {noFaults, sizeof(noFaults), kDm1, 1000, 6, 0xFF},
    };
    // A callback that comes before J1939CreateCA returns finds no uid yet
    // and only takes note of what it received.
    g_gateway.ca = sdk.J1939CreateCA(kBus, kAddress, &name, receive, 3, transmit, 2);
    if (g_gateway.ca.load() <= 0) {
        Say("J1939CreateCA bus 1 address 80: %d", g_gateway.ca.load());
        sdk.Shutdown();
        host.Stop();
        return 1;
    }
    Say("truck_gateway: application %d, CA %02X on can1, overspeed above %.0f rpm; ready", address, kAddress,
        g_gateway.overspeedRpm);
    if (examples::WaitForStopSignal(seconds)) Say("stopped by a signal");

    sdk.NotifyAppShutdown();
    sdk.Shutdown();
    host.Stop();
    Say("truck_gateway: shut down");
    return 0;
}
