// Thread rule: the private object is driven by the application's threads
// (facade calls), the listener thread (IPCListener and the receive handlers)
// and the service thread (InternalService and the bus services). Each bus
// sub-object guards its own tables; this object holds one short lock, over
// the worker-thread bookkeeping, never across a join, a write or a callback.
#pragma once

#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include <customapp/CoreTypes.h>
#include <customapp/TarvexInterface.h>

#include "IPCClient.h"
#include "ManualResetEvent.h"
#include "can/CAN.h"
#include "eeprom/VirtualEEPROM.h"
#include "j1708/J1708.h"
#include "j1939/J1939.h"
#include "plugin/Plugin.h"

namespace CustomApplication {

// The platform endpoint. The platform layer lets its environment variable
// redirect it (see platform/WIRE_FORMAT.md).
constexpr const char* kPlatformEndpoint = "/usr/local/quarrin/share/gatrel";
// Stack of each worker thread.
constexpr std::size_t kWorkerStackBytes = 64 * 1024;
// Longest wait of the service loop between two passes, in milliseconds.
constexpr std::int32_t kServiceMaxWaitMs = 200;
// What a bus service returns when it has nothing scheduled.
constexpr std::int64_t kNothingScheduled = 2147483647;

class TarvexInterfacePrivate {
public:
    enum SDKMode : std::int32_t { ApplicationMode = 0, PluginMode = 1 };
    enum ServiceType : std::int32_t { ServiceJ1939 = 0, ServiceJ1708 = 1, ServiceEEPROM = 2, ServiceCAN = 3 };

    using ServiceProviders = CoreTypes::ServiceProviders;
    using CAN = Internal::CAN;
    using J1939 = Internal::J1939;
    using J1708 = Internal::J1708;
    using VirtualEEPROM = Internal::VirtualEEPROM;
    using Plugin = Internal::Plugin;

    // The object behind a semaphore handle: a manual-reset event.
    struct Semaphore {
        PlatformServices::ManualResetEvent Event;
    };

    struct ConnectionRecord {
        PlatformServices::IPCClient* client = nullptr;
        pthread_t listenerThread{};
        pthread_t serviceThread{};
        bool listenerStarted = false;
        bool serviceStarted = false;
    };

    TarvexInterfacePrivate();
    ~TarvexInterfacePrivate();
    TarvexInterfacePrivate(const TarvexInterfacePrivate&) = delete;
    TarvexInterfacePrivate& operator=(const TarvexInterfacePrivate&) = delete;

    // Private objects alive in this process (constructed, not yet destroyed),
    // and a bounded wait for that count (for tests of deferred tear-down).
    static int LiveCount();
    static bool AwaitLiveCount(int count, int realTimeoutMs);

    // The private object behind a facade (null after destruction).
    static TarvexInterfacePrivate* Of(TarvexInterface& facade) { return facade.d; }

    std::int32_t Init(const ServiceProviders* table, SDKMode mode);
    // Connects, registers and starts both worker threads (the steps of the
    // facade's Init after the sub-objects were reset).
    std::int32_t Connect(std::int32_t address);
    void Shutdown();
    // Joins every worker thread that has not been joined yet, unless called
    // on a worker thread. Returns true when no worker thread is left.
    bool JoinWorkers();
    // Called by the facade's destructor. Returns true when the caller may
    // delete this object now; false when called on a worker thread, which
    // then deletes the object itself once it has left its loop.
    bool ReleaseFromFacade();

    bool IsServiceAllowed(ServiceType service) const;

    // The client for writing, or null before a connection exists.
    PlatformServices::IPCClient* Client() const {
        return connection ? connection->client : nullptr;
    }
    const ServiceProviders& Providers() const { return providers; }
    bool HasProviders() const { return providersSet; }

    // Thread entries (argument: the private object).
    static void* IPCListener(void* self);
    static void* InternalService(void* self);

    // Dispatch of received messages by category.
    void DispatchMessage(PlatformServices::QRVMessage& message);
    void CustomApplicationsIPCHandler(const PlatformServices::QRVMessage::ChildList& children,
                                      std::int32_t sourceAddress);
    void CANIPCHandler(const PlatformServices::QRVMessage::ChildList& children, std::int32_t sourceAddress);
    void J1939IPCHandler(const PlatformServices::QRVMessage::ChildList& children, std::int32_t sourceAddress);
    void J1708IPCHandler(const PlatformServices::QRVMessage::ChildList& children, std::int32_t sourceAddress);
    void EEPROMHandleIPC(const PlatformServices::QRVMessage& child, std::int32_t sourceAddress);
    void PluginHandleIPC(const PlatformServices::QRVMessage& child, std::int32_t sourceAddress);

    // Bus services: send what is due, return milliseconds to the next due
    // transmission or kNothingScheduled.
    std::int64_t J1939Service();
    std::int64_t J1708Service();
    std::int64_t CANService();
    // The service loop's wait for one pass, given the three services' results.
    static std::int32_t ServiceWait(std::int64_t j1939, std::int64_t j1708, std::int64_t can);

    // Bus shutdowns, called by Shutdown in this order.
    void J1939Shutdown();
    void J1708Shutdown();
    void CANShutdown();

    // Bus-number translation between the public enumeration and the
    // platform's one-byte bus number.
    static std::uint8_t SDKCANBusToIPCBus(CoreTypes::CANBus bus);
    static CoreTypes::CANBus IPCCANBusToSDKBus(std::uint8_t bus);

    // --- CAN ---
    // Copies the tables into a new interface on `bus`, subscribes its receive
    // rows and returns its uid, or a negative code (the gate is the facade's).
    std::int32_t CANInit(CoreTypes::CANBus bus, CANTypes::CANReceiveTableEntry* receiveTable,
                         std::int32_t receiveCount, CANTypes::CANTransmitTableEntry* transmitTable,
                         std::int32_t transmitCount);
    // Adds (or withdraws) one platform subscription per row of `table`.
    void CANLinkReceiveTableToPlatform(const CAN::ReceiveTableMap* table, std::uint8_t ipcBus, bool subscribe);
    bool CANDoesInterfaceExist(CoreTypes::CANBus bus) const;
    // Sends row `index` of interface `uid`: 0, or -2 when there is no such row.
    std::int32_t CANSendMessage(std::int32_t uid, std::int32_t index);
    // Sends one row on `bus` and restarts its cycle: 0, or -22 for a null row.
    std::int32_t CANSendMessage(CAN::CANTransmitTableEntry* row, CoreTypes::CANBus bus);
    // Writes one frame (command 4): 0, or -22 for a null message.
    std::int32_t CANSendMessage(const CANTypes::CANMessage* message);
    std::int32_t CANUpdateMessageData(std::int32_t uid, std::int32_t index, const unsigned char* data,
                                      unsigned char length);
    // Delivers one received frame record to the matching rows, or else to
    // the catch-all registration of its bus and format.
    void CANReceive(const PlatformServices::CANIPC::Message* record);
    std::int32_t CANRegisterReceiveAllMessages(CoreTypes::CANBus bus, CANTypes::FrameType type,
                                               CANTypes::CANReceiveCallback callback, void* context);

    // --- J1939 ---

    // --- J1708 ---

    // --- Virtual EEPROM ---

    // --- Plug-in jobs ---

    // Members, in declaration order.
    ConnectionRecord* connection = nullptr;
    std::atomic<bool> stopRequested{false};
    std::int32_t ipcAddress = 0;
    PlatformServices::ManualResetEvent serviceWakeEvent;
    SDKMode sdkMode = ApplicationMode;
    ServiceProviders providers{};
    J1939 j1939;
    J1708 j1708;
    VirtualEEPROM eeprom;
    CAN can;
    Plugin* plugin = nullptr;

private:
    enum class Worker { Listener, Service };
    enum class JoinState { Running, Joining, Joined };

    void RunListener();
    void RunService();
    bool OnWorkerThread() const;
    // Joins one worker thread, or waits until another caller has joined it.
    void JoinWorker(Worker worker);
    // Called by a worker thread as it leaves: completes a destruction that
    // was requested on that thread.
    void WorkerExiting(Worker self);

    bool providersSet = false;
    // Worker-thread bookkeeping, guarded by workerLock.
    std::mutex workerLock;
    std::condition_variable workerJoined;
    JoinState listenerState = JoinState::Running;
    JoinState serviceState = JoinState::Running;
    bool deleteOnWorkerExit = false;
    pthread_t deletingThread{};
};

}  // namespace CustomApplication
