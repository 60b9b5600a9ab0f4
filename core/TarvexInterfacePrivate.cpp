#include "core/TarvexInterfacePrivate.h"

#include <chrono>
#include <new>
#include "common/Result.h"

namespace CustomApplication {

namespace {
// The count of live private objects. Never destroyed: a worker thread that
// finishes a deferred tear-down may still be counting down at process exit.
struct LiveInstances {
    Mutex lock;
    CondVar changed;
    int count GUARDED_BY(lock) = 0;
};
LiveInstances& Live() {
    static auto* live = new LiveInstances();
    return *live;
}

void CountInstance(int delta) {
    LiveInstances& live = Live();
    {
        MutexLock guard(live.lock);
        live.count += delta;
    }
    live.changed.NotifyAll();
}
}  // namespace

int TarvexInterfacePrivate::TEST_LiveCount() {
    LiveInstances& live = Live();
    MutexLock guard(live.lock);
    return live.count;
}

bool TarvexInterfacePrivate::TEST_AwaitLiveCount(int count, int realTimeoutMs) {
    LiveInstances& live = Live();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(realTimeoutMs);
    MutexLock guard(live.lock);
    while (live.count != count) {
        if (!live.changed.WaitUntil(live.lock, deadline)) return live.count == count;
    }
    return true;
}

TarvexInterfacePrivate::TarvexInterfacePrivate() { CountInstance(1); }

TarvexInterfacePrivate::~TarvexInterfacePrivate() {
    delete plugin;
    plugin = nullptr;
    // Both worker threads have been joined (or this runs on the last of them,
    // which has joined the other): nothing uses the connection any more.
    if (connection != nullptr) {
        delete connection->client;
        delete connection;
        connection = nullptr;
    }
    CountInstance(-1);
}

std::int32_t TarvexInterfacePrivate::Init(const ServiceProviders* table, SDKMode mode) {
    sdkMode = mode;
    if (table == nullptr) return kInvalidArgument;
    providers = *table;
    providersSet = true;
    if (sdkMode == PluginMode) {
        plugin = new (std::nothrow) Plugin(sink, [this] { return PluginId(); }, stopRequested);
        if (plugin == nullptr) return kOutOfMemory;
    }
    return 0;
}

std::int32_t TarvexInterfacePrivate::Connect(std::int32_t address) {
    connection = new (std::nothrow) ConnectionRecord();
    if (connection == nullptr) return kOutOfMemory;
    connection->client = new (std::nothrow) PlatformServices::IPCClient();
    if (connection->client == nullptr) return kOutOfMemory;
    ipcAddress = address;

    const int connected = connection->client->Connect(kPlatformEndpoint);
    if (connected != 0) return connected;
    const int registered = connection->client->RegisterAddress(ipcAddress);
    if (registered <= 0) return registered;

    pthread_attr_t attributes;
    int error = pthread_attr_init(&attributes);
    if (error != 0) return error;
    error = pthread_attr_setstacksize(&attributes, kWorkerStackBytes);
    if (error == 0) {
        error = pthread_create(&connection->listenerThread, &attributes, &IPCListener, this);
        if (error == 0) {
            if (TEST_listenerCreated) TEST_listenerCreated();
            connection->listenerStarted = true;
            error = pthread_create(&connection->serviceThread, &attributes, &InternalService, this);
            if (error == 0) connection->serviceStarted = true;
        }
    }
    pthread_attr_destroy(&attributes);
    if (error == 0) {
        started.store(true, std::memory_order_release);
    } else {
        // No worker may run after a failed Init: end the listener too.
        connection->client->Shutdown();
    }
    // The workers waited until now: from here on this object knows them
    // (so a callback that destroys it defers the deletion to its worker).
    // Notified under the lock: once it is released, a worker may already
    // have destroyed this object.
    {
        MutexLock lock(workerLock);
        workersRecorded = true;
        workerJoined.NotifyAll();
    }
    // Only after a failure, when no worker can reach a callback.
    if (error != 0) JoinWorker(Worker::Listener);
    return error;
}

void TarvexInterfacePrivate::AwaitWorkersRecorded() {
    const auto deadline = std::chrono::steady_clock::now() + kWorkerRecordBound;
    MutexLock lock(workerLock);
    while (!workersRecorded && workerJoined.WaitUntil(workerLock, deadline)) {
    }
}

void TarvexInterfacePrivate::Shutdown() {
    if (!stopRequested.exchange(true)) {
        serviceWakeEvent.Set();
        reconnectWakeEvent.Set();
        // The withdrawals below must not hold Shutdown up for a platform
        // that has stopped reading.
        if (connection != nullptr && connection->client != nullptr) {
            connection->client->BoundWrites(kShutdownWritesMs);
        }
        J1939Shutdown();
        J1708Shutdown();
        CANShutdown();
        if (connection != nullptr && connection->client != nullptr) {
            connection->client->Shutdown();
            WakeRequestWaiters();
        }
    }
    JoinWorkers();
}

bool TarvexInterfacePrivate::IsServiceAllowed(ServiceType service) const {
    switch (sdkMode) {
        case ApplicationMode:
            return service == ServiceJ1939 || service == ServiceJ1708 || service == ServiceEEPROM ||
                   service == ServiceCAN;
        case PluginMode:
            return service == ServiceJ1939 || service == ServiceCAN;
        default:
            return false;
    }
}

bool TarvexInterfacePrivate::OnListenerThread() const {
    // The handle is written by thread creation, and the listener runs only
    // once Init has recorded it; a handle never set is zero, which no
    // running thread has.
    return connection != nullptr && pthread_equal(pthread_self(), connection->listenerThread) != 0;
}

bool TarvexInterfacePrivate::OnWorkerThread() const {
    if (connection == nullptr) return false;
    const pthread_t self = pthread_self();
    return (connection->listenerStarted && pthread_equal(self, connection->listenerThread)) ||
           (connection->serviceStarted && pthread_equal(self, connection->serviceThread));
}

void TarvexInterfacePrivate::JoinWorker(Worker worker) {
    const bool listener = worker == Worker::Listener;
    if (!(listener ? connection->listenerStarted : connection->serviceStarted)) return;
    JoinState& state = listener ? listenerState : serviceState;
    {
        MutexLock lock(workerLock);
        if (state == JoinState::Joining) {
            while (state != JoinState::Joined) workerJoined.Wait(workerLock);
            return;
        }
        if (state == JoinState::Joined) return;
        state = JoinState::Joining;
    }
    pthread_join(listener ? connection->listenerThread : connection->serviceThread, nullptr);
    {
        MutexLock lock(workerLock);
        state = JoinState::Joined;
    }
    workerJoined.NotifyAll();
}

bool TarvexInterfacePrivate::JoinWorkers() {
    if (connection == nullptr) return true;
    if (OnWorkerThread()) return false;
    JoinWorker(Worker::Listener);
    JoinWorker(Worker::Service);
    return true;
}

bool TarvexInterfacePrivate::ReleaseFromFacade() {
    if (JoinWorkers()) return true;
    MutexLock lock(workerLock);
    deleteOnWorkerExit = true;
    deletingThread = pthread_self();
    return false;
}

void TarvexInterfacePrivate::WorkerExiting(Worker self) {
    {
        MutexLock lock(workerLock);
        if (!deleteOnWorkerExit || !pthread_equal(deletingThread, pthread_self())) return;
        (self == Worker::Listener ? listenerState : serviceState) = JoinState::Joined;
    }
    JoinWorker(self == Worker::Listener ? Worker::Service : Worker::Listener);
    pthread_detach(pthread_self());
    delete this;
}

}  // namespace CustomApplication
