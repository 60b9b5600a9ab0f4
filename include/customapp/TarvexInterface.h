// Thread rule: construct, Init, use, Shutdown and destroy a TarvexInterface
// from the application's threads. After Init, operations may be called from
// any application thread; Init itself must not race with any other call.
// Receive callbacks and the host's dispatch hooks run on the library's
// listener thread; cyclic transmissions go out from its service thread.
// A callback may call Shutdown and may even destroy the instance; the
// instance is then torn down once the callback has returned.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "CoreTypes.h"
#include "Export.h"
#include "J1939Types.h"

namespace CustomApplication {

class TarvexInterfacePrivate;

// The one facade through which a custom application reaches the gateway.
class CUSTOMAPP_EXPORT TarvexInterface {
public:
    // Creates the implementation object. No thread runs until Init.
    TarvexInterface();
    // Calls Shutdown, then releases everything the instance holds. When
    // called from a callback on the listener thread, the last of the tear-down
    // completes on that thread once the callback has returned.
    ~TarvexInterface();
    TarvexInterface(const TarvexInterface&) = delete;
    TarvexInterface& operator=(const TarvexInterface&) = delete;

    // Connects to the platform, registers `ipcAddress` and starts the listener
    // and service threads. `serviceProviders` points to the host's
    // CoreTypes::ServiceProviders table, which is copied (it need not outlive
    // the call). `mode`: 0 application mode, 1 plug-in mode.
    // Succeeds once per process: every later call, on any instance, returns
    // -114, whatever the first call's outcome.
    // Results: 0; -114 already called in this process; -22 mode above 1 or a
    // null table; -12 out of memory; a negative errno value from connecting;
    // the platform's registration result when it is 0 or less; a positive
    // errno value when a worker thread cannot be created.
    std::int32_t Init(std::int32_t ipcAddress, void* serviceProviders, std::int32_t mode);

    // Stops the instance: withdraws the bus subscriptions, closes the
    // platform connection and joins both worker threads (a worker thread
    // calling it is not joined by itself; the join happens at destruction).
    // Idempotent; no callback of this instance starts after it returned
    // (one running on the listener thread that called it excepted).
    void Shutdown();

    // The version of this interface: 2. Needs no Init.
    std::int32_t GetSDKVersion();

    // --- Host services. They forward to the table given to Init, on the
    // caller's thread; before a successful table copy, or for an entry the
    // host left null, the forwarding operations do nothing and those with a
    // result return -22.
    std::int32_t TaskScheduleAt(CoreTypes::TaskFunction task, void* argument, std::int64_t time);
    std::int32_t TaskScheduleEvery(CoreTypes::TaskFunction task, void* argument, std::int64_t period);
    std::int32_t TaskScheduleAsync(CoreTypes::TaskFunction task, void* argument);
    void TaskCancel(std::int32_t taskId);
    void TaskCheckInAsync(std::int32_t taskId);
    void TaskDisableWatchdogAsync(std::int32_t taskId);
    void SetVersionInfo(std::int32_t major, std::int32_t minor, std::int32_t revision, std::int32_t build);
    void NotifyAppShutdown();

    // Monotonic milliseconds of the platform's tick counter.
    std::int64_t GetTicks();

    // Semaphores: manual-reset events for the application's own threads.
    // SemaphoreCreate returns a handle that the application owns and releases
    // with SemaphoreFree (null when out of memory). Once set, a semaphore
    // stays set, and every wait returns at once, until it is reset. Any
    // thread may set, reset and wait at the same time.
    void* SemaphoreCreate();
    void SemaphoreFree(void* semaphore);  // null: nothing
    // 0 when set (at once if already set), -110 after `timeoutMs` ms,
    // -22 for a null handle. The wait does not reset the semaphore.
    std::int32_t SemaphoreWait(void* semaphore, std::int32_t timeoutMs);
    void SemaphoreReset(void* semaphore);  // null: nothing
    void SemaphoreSet(void* semaphore);    // null: nothing

    // Replaces `parts` with the pieces of `text` between `separator`
    // characters, empty pieces included; returns the number of pieces.
    std::int32_t StringSplit(const std::string& text, std::vector<std::string>& parts, char separator);

    // --- CAN ---

    // --- J1939 ---
    // Controller applications (CAs) on the J1939 stack of the platform. A CA
    // is named by the uid that its creation returns (1, 2, ... per instance,
    // never given twice); a transmit row by (uid, 0-based index in the
    // transmit table passed at creation). The tables, NAME and buffers passed
    // in stay the application's: they are copied during the call. Receive
    // callbacks run on the listener thread, one message at a time; the data
    // pointer they get is valid only during the call. A callback may send and
    // update rows but must not create or attach a CA: the call would wait in
    // vain for the platform's reply, which only the listener thread handles,
    // and return -110 after 500 ms. After Shutdown no callback starts.

    // Asks the platform to create a CA with `name` claiming `address` on
    // `bus` (0 to 4) and waits up to 500 ms for the platform to report it
    // present. Receive rows select messages to this CA or to the global
    // address 255: mode 0 by PGN, 1 by source address, 2 by both (other modes
    // are kept but never match); (PGN, SourceAddress) must be unique in the
    // table; a row without a callback is subscribed but never delivers.
    // Matching rows are called in ascending (PGN << 8 | SourceAddress) order.
    // Transmit rows with a non-zero Period are also sent cyclically (a
    // negative Period: on every pass of the service thread). Creations and
    // attaches of one instance run one at a time.
    // Results: the uid (1 or more); -13 J1939 not allowed in this SDK mode,
    // or the instance was shut down during the call; -22 a null table pointer
    // (also with a count of 0), a bus outside 0 to 4, a null `name`,
    // `address` 254 or 255, a transmit row with a negative Length or with a
    // null Data and a Length above 0; -17 a CA of this instance has this bus
    // and address already; -114 two receive rows share PGN and
    // SourceAddress; -7 a transmit row's Length is above 1785; -12 out of
    // memory; -110 no answer from the platform within 500 ms; -131 the
    // platform does not report the CA present. A failure leaves nothing behind.
    std::int32_t J1939CreateCA(CoreTypes::CANBus bus, unsigned char address, const J1939Types::J1939Name* name,
                               J1939Types::J1939ReceiveTableEntry* receiveTable, std::int32_t receiveCount,
                               J1939Types::J1939TransmitTableEntry* transmitTable, std::int32_t transmitCount);
    // Takes over the first CA that the platform keeps configured on `bus`,
    // with the given tables (as for J1939CreateCA). Attaching twice gives
    // two CAs with the same bus and address.
    // Results: as J1939CreateCA, without the NAME and address checks and
    // without -17; -131 when the platform keeps no CA on `bus`.
    std::int32_t J1939AttachToPlatformCA(CoreTypes::CANBus bus, J1939Types::J1939ReceiveTableEntry* receiveTable,
                                         std::int32_t receiveCount, J1939Types::J1939TransmitTableEntry* transmitTable,
                                         std::int32_t transmitCount);
    // Writes the address of CA `uid` to `*address`.
    // Results: 0; -22 `address` is null; -2 no CA with that uid.
    std::int32_t J1939GetSourceAddressFromCA(std::int32_t uid, unsigned char* address);
    // Sends row `index` of CA `uid` now, from the CA's bus and address. This
    // restarts the row's cycle: its next cyclic send is a full Period later.
    // Results: 0 (the message was written); -13 J1939 not allowed in this SDK
    // mode; -2 no CA with that uid, or `index` outside its transmit table.
    std::int32_t J1939SendMessage(std::int32_t uid, std::int32_t index);
    // Sends one message; its SourceAddress must be the address of one of
    // this instance's CAs on its Bus. A Length above 1785 sends 1785 bytes.
    // Results: 0; -13 J1939 not allowed in this SDK mode; -22 `message` is
    // null; -1 no CA of this instance has that bus and address.
    std::int32_t J1939SendMessage(J1939Types::J1939Message* message);
    // Replaces the payload of row `index` of CA `uid` with `length` bytes of
    // `data`; the next requested or cyclic send carries it. Nothing is sent.
    // Results: 0; -13 J1939 not allowed in this SDK mode; -22 `data` is null
    // or `length` is not 1 to 1785; -2 no CA with that uid, or `index`
    // outside its transmit table; -12 out of memory (the row then sends no
    // payload until the next successful update).
    std::int32_t J1939UpdateMessageData(std::int32_t uid, std::int32_t index, const unsigned char* data,
                                        std::int32_t length);
    // Gives CA `uid` a callback for the messages to it (or to the global
    // address) that none of its receive rows delivered, and subscribes the
    // CA's bus to all messages. A second call replaces callback and context
    // together; a null callback subscribes but receives nothing. The
    // registration lasts as long as the CA.
    // Results: 0; -13 J1939 not allowed in this SDK mode; -2 no CA with that
    // uid; -12 out of memory.
    std::int32_t J1939RegisterReceiveAllMessages(std::int32_t uid, J1939Types::J1939ReceiveCallback callback,
                                                 void* context);

    // --- J1708 ---

    // --- Virtual EEPROM ---

    // --- Plug-in jobs ---

private:
    friend class TarvexInterfacePrivate;
    TarvexInterfacePrivate* d;
};

}  // namespace CustomApplication
