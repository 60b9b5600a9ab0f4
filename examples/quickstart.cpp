// A complete application: receives CAN frames 0x100 on bus 0, sends frame
// 0x321 there every 500 ms, sends one J1939 message from its own CA at
// address 0x80 on bus 1, and counts its starts in the virtual EEPROM.
//     quickstart [SECONDS]      (default 10; GATREL_ENDPOINT picks a simulator)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include <customapp/TarvexInterface.h>

using namespace CustomApplication;

// Runs on the library's listener thread; `data` is valid during the call only.
void OnFrame(void*, CoreTypes::CANBus bus, unsigned int id, CANTypes::FrameType, const unsigned char* data,
             unsigned char length) {
    std::printf("received on can%d: %03X [%u]", bus, id, length);
    for (unsigned i = 0; i < length; ++i) std::printf(" %02X", data[i]);
    std::printf("\n");
    std::fflush(stdout);
}

int main(int argc, char** argv) {
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 10;
    TarvexInterface sdk;
    // The process that starts the application on the gateway hands it this
    // table of host services (tasks, watchdog); started on its own, an
    // application passes an empty one and uses no task operations.
    CoreTypes::ServiceProviders host{};
    if (const std::int32_t result = sdk.Init(/*ipcAddress=*/100, &host, /*mode=*/0); result != 0) {
        std::fprintf(stderr, "Init failed: %d\n", result);  // see "Init, addresses and the host"
        return 1;
    }

    // CAN bus 0: a receive row for exactly 0x100, a transmit row sent every 500 ms.
    CANTypes::CANReceiveTableEntry receive[] = {{0x100, 0x7FF, CANTypes::Standard, OnFrame, nullptr}};
    const unsigned char status[2] = {0x12, 0x34};
    CANTypes::CANTransmitTableEntry transmit[] = {{status, sizeof(status), 0x321, CANTypes::Standard, 500}};
    const std::int32_t can = sdk.CANInit(CoreTypes::CANBus0, receive, 1, transmit, 1);

    // J1939 bus 1: a CA at address 0x80 with empty tables, then one message of PGN FF00.
    J1939Types::J1939Name name{};
    name.IdentityNumber = 0x1234;
    name.Function = 0x81;
    J1939Types::J1939ReceiveTableEntry noReceive[1] = {};
    J1939Types::J1939TransmitTableEntry noTransmit[1] = {};
    const std::int32_t ca = sdk.J1939CreateCA(CoreTypes::CANBus1, 0x80, &name, noReceive, 0, noTransmit, 0);
    J1939Types::J1939Message message{};
    message.Bus = CoreTypes::CANBus1;
    message.SourceAddress = 0x80;
    message.DestinationAddress = 0xFF;
    message.Priority = 6;
    message.PGN = 0xFF00;
    message.Length = 3;
    message.Data[0] = 0xC0, message.Data[1] = 0xFF, message.Data[2] = 0xEE;
    const std::int32_t sent = ca > 0 ? sdk.J1939SendMessage(&message) : ca;

    // EEPROM: bytes 0-3 count the starts (erased bytes read FF FF FF FF).
    unsigned char bytes[4] = {};
    std::int32_t eeprom = sdk.EEPROMRead(0, bytes, sizeof(bytes));
    std::uint32_t starts = bytes[0] | bytes[1] << 8 | bytes[2] << 16 | std::uint32_t{bytes[3]} << 24;
    starts = (starts == 0xFFFFFFFFu ? 0 : starts) + 1;
    for (int i = 0; i < 4; ++i) bytes[i] = static_cast<unsigned char>(starts >> (8 * i));
    if (eeprom == 0) eeprom = sdk.EEPROMWrite(0, bytes, sizeof(bytes));
    if (eeprom == 0) eeprom = sdk.EEPROMSave();

    std::printf("CANInit %d, J1939CreateCA %d, J1939SendMessage %d, EEPROM %d: start number %u\n", can, ca, sent,
                eeprom, starts);
    std::fflush(stdout);
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    sdk.Shutdown();
    return can > 0 && ca > 0 && sent == 0 && eeprom == 0 ? 0 : 1;
}
