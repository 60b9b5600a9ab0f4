// Thread rule: the private object is driven by the application's threads
// (facade calls), the listener thread (IPCListener and the receive handlers)
// and the service thread (InternalService and the bus services). Each bus
// sub-object guards its own tables; this object holds one short lock, over
// the worker-thread bookkeeping, never across a join, a write or a callback.
#pragma once

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include <customapp/CoreTypes.h>
#include <customapp/TarvexInterface.h>

#include "IPCClient.h"
#include "ManualResetEvent.h"
#include "can/CAN.h"
#include "common/BusMapping.h"
#include "common/CyclicSchedule.h"
#include "common/MessageSink.h"
#include "common/Mutex.h"
#include "common/RegistrationGate.h"
#include "common/Result.h"
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
// Pause between two attempts to reconnect to the platform, in milliseconds.
constexpr std::int32_t kReconnectPauseMs = 200;
// How long a registration waits for the restore of a new connection to
// end, and the restore for the registrations under way, in milliseconds.
constexpr std::int32_t kRegistrationWaitMs = 3000;
constexpr std::int32_t kRestoreWaitMs = 1000;
// How long Shutdown's withdrawals may wait for a platform that has stopped
// reading, in milliseconds, all together.
constexpr std::int32_t kShutdownWritesMs = 300;

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

    // Test hooks. Private objects alive in this process (constructed, not
    // yet destroyed), and a bounded wait for that count (for tests of
    // deferred tear-down).
    static int TEST_LiveCount();
    static bool TEST_AwaitLiveCount(int count, int realTimeoutMs);
    // The private object behind a facade (null after destruction).
    static TarvexInterfacePrivate* TEST_Of(TarvexInterface& facade) { return facade.d; }

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
    // Whether the caller runs on this instance's listener thread, where no
    // answer of the platform can arrive while it waits.
    bool OnListenerThread() const;
    // Whether the platform's services can be used: Init has succeeded and
    // Shutdown has not begun. Before and after, every facade operation that
    // needs the platform is refused like a service the mode does not allow,
    // before it sends or changes anything (a uid included).
    bool Running() const {
        return started.load(std::memory_order_acquire) && !stopRequested.load(std::memory_order_acquire);
    }
    bool ServiceAvailable(ServiceType service) const { return Running() && IsServiceAllowed(service); }

    // The client for writing, or null before a connection exists.
    PlatformServices::IPCClient* Client() const {
        return connection ? connection->client : nullptr;
    }
    // Whether the platform connection is up: false before Init, once the
    // platform closed it or broke the stream, and after Shutdown. A request
    // that waits for an answer fails at once without it.
    bool PlatformConnected() const {
        PlatformServices::IPCClient* client = Client();
        return client != nullptr && client->IsActive();
    }
    // The connection's state for the application (CoreTypes::ConnectionState).
    // Up only once a new connection has everything registered back (the
    // platform answered after the last of it).
    std::int32_t ConnectionState() const {
        if (!Running()) return CoreTypes::ConnectionClosed;
        return PlatformConnected() && !j1939.Restoring() ? CoreTypes::ConnectionUp : CoreTypes::ConnectionLost;
    }
    // Runs both worker threads at `priority` under SCHED_FIFO, or with 0
    // under SCHED_OTHER; both or neither (see the facade). A Result, or a
    // negated errno value.
    std::int32_t SetRealTimePriority(std::int32_t priority);
    // Where the bus operations send their requests: this instance's
    // connection (nothing is sent before Connect).
    MessageSink& Sink() { return sink; }
    const ServiceProviders& Providers() const { return providers; }
    bool HasProviders() const { return providersSet; }

    // Test hook: runs in Init on the application's thread once the listener
    // thread exists, before Init has recorded it.
    std::function<void()> TEST_listenerCreated;

    // Thread entries (argument: the private object).
    static void* IPCListener(void* self);
    static void* InternalService(void* self);

    // Dispatch of received messages by category.
    void DispatchMessage(PlatformServices::QRVMessage& message);
    void CustomApplicationsIPCHandler(const PlatformServices::QRVMessage::ChildList& children,
                                      std::int32_t sourceAddress);
    void CANIPCHandler(const PlatformServices::QRVMessage::ChildList& children, std::int32_t /*sourceAddress*/) {
        can.HandleMessages(children);
    }
    void J1939IPCHandler(const PlatformServices::QRVMessage::ChildList& children, std::int32_t /*sourceAddress*/) {
        j1939.HandleMessages(children);
    }
    void J1708IPCHandler(const PlatformServices::QRVMessage::ChildList& children, std::int32_t /*sourceAddress*/) {
        j1708.HandleMessages(children);
    }
    void EEPROMHandleIPC(const PlatformServices::QRVMessage& child, std::int32_t /*sourceAddress*/) {
        eeprom.HandleReply(child.GetCommand(), child.GetData(), child.GetLength());
    }
    void PluginHandleIPC(const PlatformServices::QRVMessage& child, std::int32_t /*sourceAddress*/) {
        if (plugin != nullptr) plugin->HandleMessage(child.GetCommand(), child.GetData(), child.GetLength());
    }

    // Bus services: send what is due at the pass's tick, return milliseconds
    // from that tick to the next due transmission or kNothingScheduled.
    std::int64_t J1939Service(std::int64_t passTick) { return j1939.Service(passTick); }
    std::int64_t J1708Service(std::int64_t passTick) { return j1708.Service(passTick); }
    std::int64_t CANService(std::int64_t passTick) { return can.Service(passTick); }
    // The service loop's wait for one pass, given the three services'
    // results: the smallest that is not negative in its low 32 bits, at most
    // kServiceMaxWaitMs. The loop waits until the pass's tick plus this.
    static std::int32_t ServiceWait(std::int64_t j1939, std::int64_t j1708, std::int64_t can);

    // Bus shutdowns, called by Shutdown in this order.
    void J1939Shutdown() { j1939.Shutdown(); }
    void J1708Shutdown() { j1708.Shutdown(); }
    void CANShutdown() { can.Shutdown(); }

    // Bus-number translation between the public enumeration and the
    // platform's one-byte bus number.
    static std::uint8_t SDKCANBusToIPCBus(CoreTypes::CANBus bus) { return Internal::ToIPCBus(bus); }
    static CoreTypes::CANBus IPCCANBusToSDKBus(std::uint8_t bus) { return Internal::ToSDKBus(bus); }

    // --- CAN --- (the component holds the tables; see can/CAN.h)
    std::int32_t CANInit(CoreTypes::CANBus bus, CANTypes::CANReceiveTableEntry* receiveTable,
                         std::int32_t receiveCount, CANTypes::CANTransmitTableEntry* transmitTable,
                         std::int32_t transmitCount) {
        return can.Create(bus, receiveTable, receiveCount, transmitTable, transmitCount);
    }
    void CANLinkReceiveTableToPlatform(const CAN::ReceiveTableMap* table, std::uint8_t ipcBus, bool subscribe) {
        can.LinkReceiveTableToPlatform(table, ipcBus, subscribe);
    }
    bool CANDoesInterfaceExist(CoreTypes::CANBus bus) const { return can.DoesInterfaceExist(bus); }
    std::int32_t CANSendMessage(std::int32_t uid, std::int32_t index) { return can.SendMessage(uid, index); }
    std::int32_t CANSendMessage(CAN::CANTransmitTableEntry* row, CoreTypes::CANBus bus) {
        return can.SendMessage(row, bus);
    }
    std::int32_t CANSendMessage(const CANTypes::CANMessage* message) { return can.SendMessage(message); }
    std::int32_t CANUpdateMessageData(std::int32_t uid, std::int32_t index, const unsigned char* data,
                                      unsigned char length) {
        return can.UpdateMessageData(uid, index, data, length);
    }
    void CANReceive(const PlatformServices::CANIPC::Message* record) { can.Receive(record); }
    std::int32_t CANRegisterReceiveAllMessages(CoreTypes::CANBus bus, CANTypes::FrameType type,
                                               CANTypes::CANReceiveCallback callback, void* context) {
        return can.RegisterReceiveAllMessages(bus, type, callback, context);
    }

    // --- J1939 --- (the component holds the CAs; see j1939/J1939.h)
    // --- Notices (see the facade's RegisterConnectionNotifier).
    void RegisterConnectionNotifier(CoreTypes::ConnectionNotifier notifier, void* context);

    std::int32_t J1939CreateCA(CoreTypes::CANBus bus, unsigned char address, const J1939Types::J1939Name* name,
                               J1939Types::J1939ReceiveTableEntry* receiveTable, int receiveCount,
                               J1939Types::J1939TransmitTableEntry* transmitTable, int transmitCount, bool attach) {
        return j1939.Create(bus, address, name, receiveTable, receiveCount, transmitTable, transmitCount, attach);
    }
    void J1939LinkReceiveTableToPlatform(const J1939::ReceiveTableMap* table, unsigned char ipcBus, bool subscribe) {
        j1939.LinkReceiveTableToPlatform(table, ipcBus, subscribe);
    }
    bool J1939DoesCAExist(CoreTypes::CANBus bus, unsigned char address) const {
        return j1939.DoesCAExist(bus, address);
    }
    std::int32_t J1939GetSourceAddressFromCA(std::int32_t uid, unsigned char* address) const {
        return j1939.GetSourceAddressFromCA(uid, address);
    }
    void J1939HandleCAList(const PlatformServices::QRVMessage& child, bool staticList) {
        j1939.HandleCAList(child, staticList);
    }
    std::int32_t J1939SendMessage(std::int32_t uid, std::int32_t index) { return j1939.SendMessage(uid, index); }
    std::int32_t J1939SendMessage(J1939::J1939TransmitTableEntry* row, CoreTypes::CANBus bus, unsigned char address) {
        return j1939.SendMessage(row, bus, address);
    }
    std::int32_t J1939SendMessage(const J1939Types::J1939Message* message) { return j1939.SendMessage(message); }
    std::int32_t J1939UpdateMessageData(std::int32_t uid, std::int32_t index, const unsigned char* data,
                                        std::int32_t length) {
        return j1939.UpdateMessageData(uid, index, data, length);
    }
    void J1939Receive(PlatformServices::J1939IPC::J1939ReceiveMessageIPC* message) { j1939.Receive(message); }
    std::int32_t J1939RegisterReceiveAllMessages(std::int32_t uid, J1939Types::J1939ReceiveCallback callback,
                                                 void* context) {
        return j1939.RegisterReceiveAllMessages(uid, callback, context);
    }

    // --- J1708 --- (the component holds the tables; see j1708/J1708.h)
    std::int32_t J1708Init(const J1708Types::J1708ReceiveTableEntry* receiveTable, std::int32_t receiveCount,
                           const J1708Types::J1708TransmitTableEntry* transmitTable, std::int32_t transmitCount) {
        return j1708.Init(receiveTable, receiveCount, transmitTable, transmitCount);
    }
    void J1708Receive(const PlatformServices::J1708::J1708Message* record) { j1708.Receive(record); }
    std::int32_t J1708SendMessage(std::int32_t index) { return j1708.SendMessage(index); }
    std::int32_t J1708SendMessage(J1708::J1708TransmitTableEntry* row) { return j1708.SendMessage(row); }
    std::int32_t J1708SendMessage(const J1708Types::J1708Message* message) { return j1708.SendMessage(message); }
    std::int32_t J1708UpdateMessageData(std::int32_t index, const unsigned char* data, unsigned char length) {
        return j1708.UpdateMessageData(index, data, length);
    }
    void J1708RegisterReceiveAllMessages(J1708Types::J1708ReceiveCallback callback, void* context) {
        j1708.RegisterReceiveAllMessages(callback, context);
    }

    // --- Virtual EEPROM ---
    // Each operation sends one request and waits for its reply; see the facade.
    std::int32_t EEPROMRead(std::uint32_t address, unsigned char* data, std::int32_t length) {
        return eeprom.Read(address, data, length);
    }
    std::int32_t EEPROMWrite(std::uint32_t address, const unsigned char* data, std::int32_t length) {
        return eeprom.Write(address, data, length);
    }
    std::int32_t EEPROMGetState() { return eeprom.GetState(); }
    std::int32_t EEPROMSave() { return eeprom.Save(); }
    std::int32_t EEPROMDestroy() { return eeprom.Destroy(); }

    // --- Plug-in jobs ---
    // The plug-in operations; each is refused unless PluginModeActive().
    bool PluginModeActive() const { return plugin != nullptr && sdkMode == PluginMode; }
    void PluginReportJobProgress(PluginTypes::OperationState state, std::uint8_t progress, std::int32_t value) {
        if (PluginModeActive()) plugin->ReportJobProgress(state, progress, value);
    }
    std::int32_t PluginGetFileStats(PluginTypes::FileStats* stats, PluginTypes::FileMode mode) {
        return PluginModeActive() ? plugin->GetFileStats(stats, mode) : kNotAllowed;
    }
    std::int32_t PluginGetFileData(PluginTypes::FileData* data, PluginTypes::FileMode mode, std::uint32_t value0,
                                   std::uint32_t value1, std::uint32_t value2) {
        return PluginModeActive() ? plugin->GetFileData(data, mode, value0, value1, value2) : kNotAllowed;
    }
    void PluginRegisterJobStartNotifier(PluginTypes::JobStartNotifier notifier, void* context) {
        if (PluginModeActive()) plugin->RegisterJobStartNotifier(notifier, context);
    }
    // The host's plug-in identifier (0 when the host gives none).
    std::int32_t PluginId() const {
        if (!HasProviders() || providers.getPluginId == nullptr) return 0;
        return providers.getPluginId(providers.hostContext);
    }

    // Members, in declaration order.
    ConnectionRecord* connection = nullptr;
    std::atomic<bool> stopRequested{false};
    std::int32_t ipcAddress = 0;
    PlatformServices::ManualResetEvent serviceWakeEvent;
    // Set by Shutdown: ends the listener's pause between reconnections.
    PlatformServices::ManualResetEvent reconnectWakeEvent;
    SDKMode sdkMode = ApplicationMode;
    ServiceProviders providers{};

private:
    // The sink over the current connection's client.
    class ConnectionSink final : public MessageSink {
    public:
        explicit ConnectionSink(TarvexInterfacePrivate& owner) : owner(owner) {}
        int Send(std::int32_t category, std::int32_t address, std::int32_t command, const void* data,
                 std::size_t length) override {
            return SendThroughClient(owner.Client(), category, address, command, data, length);
        }
        int SendChildren(std::int32_t category, std::int32_t address, const ChildMessage* children,
                         std::size_t count) override {
            return SendChildrenThroughClient(owner.Client(), category, address, children, count);
        }
        bool Connected() const override { return owner.PlatformConnected(); }
        std::uint32_t Connection() const override {
            PlatformServices::IPCClient* client = owner.Client();
            return client != nullptr ? client->Connections() : 0;
        }
        bool OnReceivingThread() const override { return owner.OnListenerThread(); }
        bool BeginRegistration() override {
            // A callback never meets a restore: the listener runs both.
            return owner.OnListenerThread() || owner.registrations.Enter(kRegistrationWaitMs);
        }
        void EndRegistration() override {
            if (!owner.OnListenerThread()) owner.registrations.Leave();
        }
        void Resynchronise() override {
            PlatformServices::IPCClient* client = owner.Client();
            if (client != nullptr) client->Drop();
        }

    private:
        TarvexInterfacePrivate& owner;
    };

    // Keeps the application's registrations apart from a restore.
    Internal::RegistrationGate registrations;
    ConnectionSink sink{*this};

public:
    J1939 j1939{sink, stopRequested};
    J1708 j1708{sink, stopRequested};
    VirtualEEPROM eeprom{sink};
    CAN can{sink, stopRequested};
    Plugin* plugin = nullptr;

private:
    enum class Worker { Listener, Service };
    enum class JoinState { Running, Joining, Joined };

    void RunListener();
    // Tells the notifier of `notice` (listener thread; none once stopping).
    void Notify(std::int32_t notice, std::int32_t value);
    // After a batch or a restore: tells of a restore that completed and of
    // the CAs whose address changed since the last look (listener thread).
    void TellChanges();
    // One attempt to connect anew after the connection was lost: registers
    // the IPC address again and has each component send again what the
    // application registered. Whether the connection is up again.
    bool Reconnect();
    // Ends the waits of requests for the platform's answer once no answer
    // can come; each waiter then finds the connection gone.
    void WakeRequestWaiters();
    void RunService();
    bool OnWorkerThread() const;
    // Joins one worker thread, or waits until another caller has joined it.
    void JoinWorker(Worker worker);
    // Called by a worker thread as it leaves: completes a destruction that
    // was requested on that thread.
    void WorkerExiting(Worker self);
    // Called by a worker thread as it starts: returns once Init has recorded
    // every worker it created (bounded: Init only has to return from thread
    // creation).
    void AwaitWorkersRecorded();
    static constexpr std::chrono::seconds kWorkerRecordBound{10};

    // The connection notifier, replaced as one unit; the pointer is guarded.
    struct Notifier {
        CoreTypes::ConnectionNotifier function;
        void* context;
    };
    Mutex notifierLock;
    std::shared_ptr<const Notifier> notifier GUARDED_BY(notifierLock);
    // The listener's own: a restore not yet told, the CAs' address changes
    // seen, and the uids told as lost.
    bool restoreUntold = false;
    std::uint64_t addressChangesSeen = 0;
    std::vector<std::int32_t> toldLost;

    bool providersSet = false;
    // Set once Init has connected and started both worker threads.
    std::atomic<bool> started{false};
    // Worker-thread bookkeeping.
    Mutex workerLock;
    CondVar workerJoined;  // a worker was joined, or Init recorded the workers
    JoinState listenerState GUARDED_BY(workerLock) = JoinState::Running;
    JoinState serviceState GUARDED_BY(workerLock) = JoinState::Running;
    bool deleteOnWorkerExit GUARDED_BY(workerLock) = false;
    bool workersRecorded GUARDED_BY(workerLock) = false;
    pthread_t deletingThread GUARDED_BY(workerLock){};
};

}  // namespace CustomApplication
