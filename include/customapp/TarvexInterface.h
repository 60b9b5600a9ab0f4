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

    // --- J1708 ---

    // --- Virtual EEPROM ---

    // --- Plug-in jobs ---

private:
    friend class TarvexInterfacePrivate;
    TarvexInterfacePrivate* d;
};

}  // namespace CustomApplication
