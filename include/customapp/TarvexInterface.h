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

#include "CANTypes.h"
#include "CoreTypes.h"
#include "Export.h"

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
    // Raw frames on the CAN buses 0 to 4. The receive callbacks registered
    // here run on the listener thread, one frame at a time; a callback that
    // blocks stalls all reception. A callback gets its registration's
    // context, the bus, the frame's identifier, the row's own Type (the
    // frame's format for a catch-all), the payload (valid only during the
    // call) and its length (at most 8). No callback starts once Shutdown has
    // begun. The library copies every table, row and
    // payload handed to these operations during the call; the application
    // keeps ownership of what it passed in. Should the instance itself have
    // failed to allocate, every operation here returns -12.

    // Sets up `bus`: copies the receive table (rows keyed by identifier) and
    // the transmit table, subscribes every receive row with the platform and
    // returns the new interface's uid (1, 2, ... in order of creation, never
    // given twice). Both table pointers must be non-null even with a count
    // of 0; a count of 0 or less copies nothing. Transmit rows with a
    // positive Period are also sent every Period ms by the service thread;
    // rows with a negative Period on every pass of it.
    // Results: the uid; -13 CAN not allowed in this SDK mode; -22 a null
    // table pointer, `bus` outside 0 to 4, or a transmit row with a Length
    // above 0 and a null Data; -17 `bus` already has an interface (also one
    // being set up at this moment); -12 out of memory; -114 two receive rows
    // share an identifier; -7 a transmit row's Length is above 8. A failed
    // call leaves nothing behind and uses no uid.
    std::int32_t CANInit(CoreTypes::CANBus bus, CANTypes::CANReceiveTableEntry* receiveTable,
                         std::int32_t receiveCount, CANTypes::CANTransmitTableEntry* transmitTable,
                         std::int32_t transmitCount);

    // Sends row `index` (0-based, in the table given to CANInit) of interface
    // `uid` now, with its current payload. The row's cycle restarts: its next
    // cyclic send is a full Period later.
    // Results: 0 (the frame was written); -13 CAN not allowed in this SDK
    // mode; -2 no interface `uid` (also after Shutdown) or `index` outside
    // its transmit table.
    std::int32_t CANSendMessage(std::int32_t uid, std::int32_t index);

    // Sends one frame on `message->Bus`, which need not have an interface.
    // A Length above 8 sends 8 bytes; a Type other than Extended sends a
    // standard frame. The message is read only during the call.
    // Results: 0; -13 CAN not allowed in this SDK mode; -22 `message` is null.
    std::int32_t CANSendMessage(CANTypes::CANMessage* message);

    // Replaces the payload of row `index` of interface `uid` with `length`
    // bytes of `data` (copied). Nothing is sent; the next requested or
    // cyclic send carries the new payload.
    // Results: 0; -13 CAN not allowed in this SDK mode; -22 `data` is null,
    // `length` is above 8, or the row holds no payload and `length` is 0;
    // -2 no such interface or row; -12 the larger buffer could not be
    // allocated (the row is then left without payload and sends empty
    // frames until a later update succeeds).
    std::int32_t CANUpdateMessageData(std::int32_t uid, std::int32_t index, const unsigned char* data,
                                      unsigned char length);

    // Registers the catch-all callback of `bus` for frames of `type`
    // (Standard or Extended; any other value never fires): it gets every
    // frame of that bus and format that no receive row with a callback took,
    // and asks the platform for every frame of the bus. It stays registered
    // for the life of the instance. Needs no SDK-mode permission.
    // Results: 0; -22 `callback` is null; -1 `bus` has no interface (CANInit
    // first); -114 a callback for this bus and type is registered already;
    // -12 out of memory.
    std::int32_t CANRegisterReceiveAllMessages(CoreTypes::CANBus bus, CANTypes::FrameType type,
                                               CANTypes::CANReceiveCallback callback, void* context);

    // --- J1939 ---

    // --- J1708 ---

    // --- Virtual EEPROM ---

    // --- Plug-in jobs ---

private:
    friend class TarvexInterfacePrivate;
    TarvexInterfacePrivate* d;
};

}  // namespace CustomApplication
