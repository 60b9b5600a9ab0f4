// A gateway application that uses every bus service: raw CAN on bus 0 (a
// receive table, a cyclic transmit row and a catch-all), a J1939 controller
// application on bus 1 (a cyclic PGN and a receive row), the J1708 bus, and
// the virtual EEPROM, where it counts its own starts.
//
//     vehicle_app [SECONDS [ADDRESS]]
//
// It prints what it receives, runs for SECONDS (default 10; SIGINT or
// SIGTERM end it earlier) and shuts down. GATREL_ENDPOINT selects the
// platform endpoint, for instance a gateway-sim's.
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <customapp/TarvexInterface.h>

#include "host/ExampleHost.h"
#include "host/Output.h"

using namespace CustomApplication;
using examples::Hex;
using examples::Say;

namespace {

const char* const kUsage = "usage: vehicle_app [SECONDS [ADDRESS]]\n";

constexpr std::uint32_t kCounterAddress = 0;  // EEPROM address of the start counter

std::atomic<unsigned> g_received{0};

// --- CAN ----------------------------------------------------------------

void OnSpeedRequest(void*, CoreTypes::CANBus bus, unsigned int id, CANTypes::FrameType, const unsigned char* data,
                    unsigned char length) {
    ++g_received;
    Say("CAN    can%d %03X [%u] %s  (row: speed request)", bus, id, length, Hex(data, length).c_str());
}

void OnDiagnostics(void*, CoreTypes::CANBus bus, unsigned int id, CANTypes::FrameType, const unsigned char* data,
                   unsigned char length) {
    ++g_received;
    Say("CAN    can%d %03X [%u] %s  (row: diagnostics 200-20F)", bus, id, length, Hex(data, length).c_str());
}

void OnAnyCan(void*, CoreTypes::CANBus bus, unsigned int id, CANTypes::FrameType type, const unsigned char* data,
              unsigned char length) {
    ++g_received;
    Say("CAN    can%d %0*X [%u] %s  (catch-all, %s)", bus, type == CANTypes::Extended ? 8 : 3, id, length,
        Hex(data, length).c_str(), type == CANTypes::Extended ? "extended" : "standard");
}

// --- J1939 ----------------------------------------------------------------

void OnVehicleSpeed(void*, CoreTypes::CANBus bus, unsigned int pgn, unsigned char source, unsigned char destination,
                    unsigned char priority, const unsigned char* data, unsigned short length) {
    ++g_received;
    // Wheel-based vehicle speed: bytes 2-3, 1/256 km/h per bit.
    const double speed = length >= 3 ? (data[1] | data[2] << 8) / 256.0 : 0.0;
    Say("J1939  can%d PGN %05X %02X->%02X prio %u [%u] %s  (row: vehicle speed %.1f km/h)", bus, pgn, source,
        destination, priority, length, Hex(data, length).c_str(), speed);
}

void OnAnyJ1939(void*, CoreTypes::CANBus bus, unsigned int pgn, unsigned char source, unsigned char destination,
                unsigned char priority, const unsigned char* data, unsigned short length) {
    ++g_received;
    Say("J1939  can%d PGN %05X %02X->%02X prio %u [%u] %s  (catch-all)", bus, pgn, source, destination, priority,
        length, Hex(data, length > 16 ? 16 : length).c_str());
}

// --- J1708 ----------------------------------------------------------------

void OnEngineMid(void*, unsigned char mid, unsigned char checksum, unsigned char, const unsigned char* data,
                 unsigned char length) {
    ++g_received;
    Say("J1708  MID %02X [%u] %s checksum %02X  (row: engine)", mid, length, Hex(data, length).c_str(), checksum);
}

void OnAnyJ1708(void*, unsigned char mid, unsigned char checksum, unsigned char, const unsigned char* data,
                unsigned char length) {
    ++g_received;
    Say("J1708  MID %02X [%u] %s checksum %02X  (catch-all)", mid, length, Hex(data, length).c_str(), checksum);
}

// --- The EEPROM start counter -------------------------------------------------

std::uint32_t CountThisStart(TarvexInterface& sdk) {
    unsigned char bytes[4];
    const std::int32_t read = sdk.EEPROMRead(kCounterAddress, bytes, sizeof(bytes));
    if (read != 0) {
        Say("EEPROM read failed: %d", read);
        return 0;
    }
    std::uint32_t starts = bytes[0] | bytes[1] << 8 | bytes[2] << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
    if (starts == 0xFFFFFFFFu) starts = 0;  // erased: never counted
    ++starts;
    for (int i = 0; i < 4; ++i) bytes[i] = static_cast<unsigned char>(starts >> (8 * i));
    const std::int32_t written = sdk.EEPROMWrite(kCounterAddress, bytes, sizeof(bytes));
    const std::int32_t saved = written == 0 ? sdk.EEPROMSave() : written;
    Say("EEPROM start number %u (write %d, save %d, state now %d)", starts, written, saved, sdk.EEPROMGetState());
    return starts;
}

// The host runs this every 500 ms: it puts the uptime into the cyclic CAN
// row and checks in with the watchdog.
struct Heartbeat {
    TarvexInterface* sdk;
    std::int32_t canUid;
    std::uint32_t beats = 0;
};

void OnHeartbeat(void* argument, std::int32_t taskId) {
    auto* heartbeat = static_cast<Heartbeat*>(argument);
    ++heartbeat->beats;
    const unsigned char payload[4] = {static_cast<unsigned char>(heartbeat->beats),
                                      static_cast<unsigned char>(heartbeat->beats >> 8), 0xA5, 0x5A};
    heartbeat->sdk->CANUpdateMessageData(heartbeat->canUid, 0, payload, sizeof(payload));
    heartbeat->sdk->TaskCheckInAsync(taskId);
}

}  // namespace

int main(int argc, char** argv) {
    const int seconds = examples::SecondsArgument(argc, argv, 1, 10, kUsage);
    const std::int32_t address = argc > 2 ? std::atoi(argv[2]) : 100;
    examples::BlockStopSignals();

    examples::ExampleHost host;
    TarvexInterface sdk;
    const std::int32_t init = sdk.Init(address, host.Table(), /*mode=*/0);
    if (init != 0) {
        Say("Init failed: %d (is a platform or gateway-sim serving the endpoint?)", init);
        return 1;
    }
    sdk.SetVersionInfo(1, 2, 0, 7);
    Say("vehicle_app: address %d, running for %d s", address, seconds);

    const std::uint32_t starts = CountThisStart(sdk);

    // CAN bus 0: two receive rows, one cyclic transmit row, catch-alls.
    CANTypes::CANReceiveTableEntry canReceive[] = {
        {0x100, 0x7FF, CANTypes::Standard, OnSpeedRequest, nullptr},
        {0x200, 0x7F0, CANTypes::Standard, OnDiagnostics, nullptr},
    };
    const unsigned char statusData[4] = {0, 0, 0xA5, 0x5A};
    CANTypes::CANTransmitTableEntry canTransmit[] = {
        {statusData, sizeof(statusData), 0x321, CANTypes::Standard, 500},
    };
    const std::int32_t canUid = sdk.CANInit(CoreTypes::CANBus0, canReceive, 2, canTransmit, 1);
    Say("CANInit bus 0: %d", canUid);
    if (canUid > 0) {
        Say("catch-all standard: %d, extended: %d",
            sdk.CANRegisterReceiveAllMessages(CoreTypes::CANBus0, CANTypes::Standard, OnAnyCan, nullptr),
            sdk.CANRegisterReceiveAllMessages(CoreTypes::CANBus0, CANTypes::Extended, OnAnyCan, nullptr));
    }

    // J1939 bus 1: a CA at address 0x80 that sends proprietary PGN FF00 every
    // second and has a row for the vehicle speed (PGN FEF1) from anyone.
    J1939Types::J1939Name name{};
    name.ArbitraryAddressCapable = 0;
    name.IndustryGroup = 0;
    name.VehicleSystem = 0;
    name.IdentityNumber = 0x1234 + static_cast<std::uint32_t>(address);
    name.ManufacturerCode = 0x7F;
    name.Function = 0x81;
    J1939Types::J1939ReceiveTableEntry j1939Receive[] = {
        {0xFEF1, 0, /*mode PGN=*/0, OnVehicleSpeed, nullptr},
    };
    const unsigned char proprietary[8] = {static_cast<unsigned char>(starts), 1, 2, 3, 4, 5, 6, 7};
    J1939Types::J1939TransmitTableEntry j1939Transmit[] = {
        {proprietary, sizeof(proprietary), 0xFF00, 1000, 6, 0xFF},
    };
    const std::int32_t caUid = sdk.J1939CreateCA(CoreTypes::CANBus1, 0x80, &name, j1939Receive, 1, j1939Transmit, 1);
    Say("J1939CreateCA bus 1 address 80: %d", caUid);
    if (caUid > 0) Say("J1939 catch-all: %d", sdk.J1939RegisterReceiveAllMessages(caUid, OnAnyJ1939, nullptr));

    // J1708: a row for the engine (MID 80), a status message every second.
    J1708Types::J1708ReceiveTableEntry j1708Receive[] = {{0x80, OnEngineMid, nullptr}};
    const unsigned char j1708Data[2] = {0x54, static_cast<unsigned char>(starts)};
    J1708Types::J1708TransmitTableEntry j1708Transmit[] = {{j1708Data, sizeof(j1708Data), 0xAC, 1000, 8}};
    Say("J1708Init: %d", sdk.J1708Init(j1708Receive, 1, j1708Transmit, 1));
    sdk.J1708RegisterReceiveAllMessages(OnAnyJ1708, nullptr);

    Heartbeat heartbeat{&sdk, canUid};
    const std::int32_t task = canUid > 0 ? sdk.TaskScheduleEvery(OnHeartbeat, &heartbeat, 500) : -1;

    Say("ready");
    if (examples::WaitForStopSignal(seconds)) Say("stopped by a signal");

    if (task > 0) sdk.TaskCancel(task);
    sdk.NotifyAppShutdown();
    sdk.Shutdown();
    host.Stop();
    Say("vehicle_app: %u messages received, %llu platform messages dispatched; shut down", g_received.load(),
        static_cast<unsigned long long>(host.Dispatched()));
    return 0;
}
