#include "core/TarvexInterfacePrivate.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <new>
#include <thread>

namespace CustomApplication {

namespace {
constexpr std::int32_t kCategoryCAN = 10;
constexpr std::int32_t kCategoryJ1939 = 13;
constexpr std::int32_t kCategoryJ1708 = 20;
constexpr std::int32_t kCategoryCustomApplications = 22;
constexpr std::chrono::milliseconds kOutOfMemoryPause{10};
}  // namespace

void* TarvexInterfacePrivate::IPCListener(void* self) {
    if (self == nullptr) return nullptr;
    auto* instance = static_cast<TarvexInterfacePrivate*>(self);
    instance->AwaitWorkersRecorded();
    instance->RunListener();
    instance->WorkerExiting(Worker::Listener);
    return nullptr;
}

void TarvexInterfacePrivate::RunListener() {
    PlatformServices::IPCClient* client = connection->client;
    // The batch and its messages are reused: once grown, a pass allocates nothing.
    PlatformServices::MessageBatch batch;
    bool lost = false;
    while (!stopRequested.load(std::memory_order_acquire)) {
        if (!client->IsActive()) {
            // The platform closed the connection, went away or broke the
            // stream: no answer can come over it, so the requests waiting for
            // one fail now. Then a new connection is tried every
            // kReconnectPauseMs until one is made or Shutdown begins.
            if (!lost) {
                WakeRequestWaiters();
                restoreUntold = true;
                Notify(CoreTypes::NoticeConnectionLost, 0);
            }
            lost = true;
            if (Reconnect()) {
                lost = false;
                TellChanges();
            } else {
                reconnectWakeEvent.WaitOne(kReconnectPauseMs);
            }
            continue;
        }
        const int read = client->Read(batch);
        const bool starved = read == -ENOMEM && batch.empty();
        for (auto& message : batch) {
            // A callback of the message before may have begun Shutdown (or
            // destroyed the instance, whose deletion then waits for this
            // thread): the rest of the batch is not dispatched.
            if (stopRequested.load(std::memory_order_acquire)) break;
            if (message) DispatchMessage(*message);
        }
        client->Recycle(batch);
        TellChanges();
        // Out of memory with nothing read: the next Read would fail at once
        // again, so give the process a moment instead of spinning.
        if (starved) std::this_thread::sleep_for(kOutOfMemoryPause);
    }
    can.ResetListenerView();
    // Left for a Shutdown, which wakes the waiters once it has closed the
    // connection; with the connection already gone, they are woken here too.
    if (!client->IsActive()) WakeRequestWaiters();
}

bool TarvexInterfacePrivate::Reconnect() {
    PlatformServices::IPCClient* client = connection->client;
    // No registration runs from here until everything is sent again: one
    // made before goes over the lost connection (and fails there) and is in
    // what is sent again, one made after goes out after it.
    if (!registrations.Close(kRestoreWaitMs)) return false;
    // Not up until the platform confirmed what is sent again below.
    j1939.BeginRestore();
    if (client->Reconnect(kPlatformEndpoint, ipcAddress) != 0) {
        registrations.Open();
        return false;
    }
    // The CAs first: the J1939 subscriptions belong to them. Last, a
    // question whose answer tells that the platform has all of it.
    int restored = j1939.Replay();
    if (restored == 0) restored = can.Replay();
    if (restored == 0) restored = j1708.Replay();
    if (restored == 0) restored = j1939.ConfirmRestore();
    registrations.Open();
    if (restored != 0) {
        // Something the platform did not take (it is held up): it holds only
        // part of what is registered. The connection is made anew, and all
        // of it sent again, until one takes everything.
        client->Drop();
        return false;
    }
    return true;
}

void TarvexInterfacePrivate::RegisterConnectionNotifier(CoreTypes::ConnectionNotifier function, void* context) {
    std::shared_ptr<const Notifier> next;
    if (function != nullptr) {
        try {
            next = std::make_shared<const Notifier>(Notifier{function, context});
        } catch (const std::bad_alloc&) {
            next = nullptr;
        }
    }
    MutexLock guard(notifierLock);
    notifier.swap(next);
    // The replaced notifier is released after the lock, with `next`.
}

void TarvexInterfacePrivate::Notify(std::int32_t notice, std::int32_t value) {
    if (stopRequested.load(std::memory_order_acquire)) return;
    std::shared_ptr<const Notifier> current;
    {
        MutexLock guard(notifierLock);
        current = notifier;
    }
    if (current) current->function(current->context, notice, value);
}

void TarvexInterfacePrivate::TellChanges() {
    // The CAs first: whoever hears of the restore knows which CAs it cost.
    const std::uint64_t changes = j1939.AddressChanges();
    if (changes != addressChangesSeen) {
        addressChangesSeen = changes;
        const J1939::CASnapshot cas = j1939.ControllerApplications();
        for (const auto& ca : *cas) {
            if (!ca || ca->Attached) continue;
            const bool isLost = ca->Lost.load(std::memory_order_acquire);
            const auto told = std::find(toldLost.begin(), toldLost.end(), ca->Uid);
            if (isLost == (told != toldLost.end())) continue;
            if (isLost) {
                try {
                    toldLost.push_back(ca->Uid);
                } catch (const std::bad_alloc&) {
                    addressChangesSeen = 0;  // looked at again after the next batch
                    continue;
                }
            } else {
                toldLost.erase(told);
            }
            Notify(isLost ? CoreTypes::NoticeAddressLost : CoreTypes::NoticeAddressRegained, ca->Uid);
        }
    }
    if (restoreUntold && ConnectionState() == CoreTypes::ConnectionUp) {
        restoreUntold = false;
        Notify(CoreTypes::NoticeConnectionRestored, 0);
    }
}

void TarvexInterfacePrivate::WakeRequestWaiters() {
    eeprom.WakeWaiter();
    j1939.WakeWaiter();
    if (plugin != nullptr) plugin->WakeWaiter();
}

void TarvexInterfacePrivate::DispatchMessage(PlatformServices::QRVMessage& message) {
    if (providers.messageDispatchBegin != nullptr) providers.messageDispatchBegin(providers.hostContext);
    const std::int32_t category = message.GetCommand();
    switch (category) {
        case kCategoryCAN:
        case kCategoryJ1939:
        case kCategoryJ1708:
        case kCategoryCustomApplications: {
            // A message whose children cannot be decoded for want of memory
            // is dropped; the listener goes on with the next one.
            try {
                message.ParseChildMessages();
            } catch (const std::bad_alloc&) {
                break;
            }
            const auto& children = message.GetChildMessages();
            const std::int32_t source = message.GetSourceAddress();
            if (category == kCategoryCAN) {
                CANIPCHandler(children, source);
            } else if (category == kCategoryJ1939) {
                J1939IPCHandler(children, source);
            } else if (category == kCategoryJ1708) {
                J1708IPCHandler(children, source);
            } else {
                CustomApplicationsIPCHandler(children, source);
            }
            break;
        }
        default:
            break;
    }
    if (providers.messageDispatchEnd != nullptr) providers.messageDispatchEnd(providers.hostContext);
}

void TarvexInterfacePrivate::CustomApplicationsIPCHandler(const PlatformServices::QRVMessage::ChildList& children,
                                                          std::int32_t sourceAddress) {
    for (const auto& child : children) {
        if (!child) continue;
        switch (child->GetCommand()) {
            case 2:
            case 4:
            case 6:
            case 8:
            case 10:
                EEPROMHandleIPC(*child, sourceAddress);
                break;
            case 13:
            case 16:
            case 18:
                PluginHandleIPC(*child, sourceAddress);
                break;
            default:
                break;
        }
    }
}

}  // namespace CustomApplication
