// Messages from the platform: received J1939 messages and CA-list replies.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

#include "j1939/J1939.h"
#include "common/BusMapping.h"
#include "common/Result.h"

namespace CustomApplication {
namespace Internal {

namespace {
namespace IPC = PlatformServices::J1939IPC;
constexpr std::uint8_t kGlobalAddress = 255;
}  // namespace

void J1939::HandleMessages(const PlatformServices::QRVMessage::ChildList& children) {
    for (const auto& child : children) {
        if (!child) continue;
        switch (child->GetCommand()) {
            case IPC::CommandReceivedMessage: {
                const std::uint8_t* data = child->GetData();
                if (data == nullptr) break;
                // On the listener's stack: no allocation per message.
                IPC::J1939ReceiveMessageIPC record;
                const std::size_t copied = std::min(child->GetLength(), IPC::kReceiveRecordBytes);
                auto* bytes = reinterpret_cast<std::uint8_t*>(&record);
                std::memcpy(bytes, data, copied);
                std::memset(bytes + copied, 0, IPC::kReceiveRecordBytes - copied);
                // A length beyond the bytes that actually came is cut to them.
                const std::size_t received = copied > IPC::kReceiveHeaderBytes ? copied - IPC::kReceiveHeaderBytes : 0;
                if (record.Length > received) record.Length = static_cast<std::uint16_t>(received);
                Receive(&record);
                break;
            }
            case IPC::CommandCAList:
                HandleCAList(*child, false);
                break;
            case IPC::CommandStaticCAList:
                HandleCAList(*child, true);
                break;
            default:
                break;
        }
    }
}

void J1939::Receive(IPC::J1939ReceiveMessageIPC* message) {
    if (message == nullptr) return;
    const CoreTypes::CANBus bus = ToSDKBus(message->Bus);
    if (bus == CoreTypes::CANBusUnknown) return;  // no CA has that bus
    const std::uint32_t pgn = message->PGN;
    const std::uint8_t source = message->SourceAddress;
    const std::uint8_t destination = message->DestinationAddress;
    const std::uint8_t priority = message->Priority;
    const unsigned char* data = message->Data;
    // Never more than the record holds.
    const auto length = static_cast<unsigned short>(std::min<std::size_t>(message->Length, IPC::kReceiveDataBytes));

    const CASnapshot list = ControllerApplications();
    for (const auto& ca : *list) {
        if (!ca || ca->Bus != bus) continue;
        if (destination != ca->Address && destination != kGlobalAddress) continue;
        // A callback may shut the instance down; nothing is delivered after
        // that. Shutdown is requested before the bus closes: a callback whose
        // Shutdown returns at once, because another thread's is under way,
        // must not be followed by further callbacks either.
        auto isOpen = [this] { return !stopRequested_.load(std::memory_order_acquire) && !IsClosed(); };
        bool open = isOpen();
        const bool matched = open && ca->VisitMatchingRows(pgn, source, [&](const J1939ReceiveTableEntry& row) {
            row.Callback(row.Context, bus, pgn, source, destination, priority, data, length);
            open = isOpen();
            return open;
        });
        if (!open) return;
        if (matched) continue;
        const auto receiveAll = ca->ReceiveAll();
        if (receiveAll && receiveAll->Callback != nullptr) {
            receiveAll->Callback(receiveAll->Context, bus, pgn, source, destination, priority, data, length);
        }
    }
}

std::int32_t J1939::RegisterReceiveAllMessages(std::int32_t uid, J1939Types::J1939ReceiveCallback callback,
                                               void* context) {
    // The subscription, like every write of a CA, goes out before a
    // concurrent shutdown's withdrawals or not at all.
    const WriteScope write(*this);
    if (!write.Open()) return kNotFound;  // shut down: no CA is left
    const auto ca = ControllerApplicationFromUid(uid);
    if (!ca) return kNotFound;
    const RegistrationScope registration(sink_);
    if (!registration.Held()) return kPlatformBusy;
    std::shared_ptr<const ReceiveAllRegistration> previous;
    try {
        previous = ca->SetReceiveAll(callback, context);
    } catch (const std::bad_alloc&) {
        return kOutOfMemory;
    }
    // A new callback for a CA that has one replaces it: the platform holds
    // the subscription already.
    if (previous) return 0;
    const int written = IPC::SubscribeMessage(ToIPCBus(ca->Bus), IPC::SubscribeAll, 0, 0, sink_, false);
    // Kept for the next connection when this one is gone; taken back when
    // the platform did not take it.
    if (!NotTaken(written)) return 0;
    ca->PutBackReceiveAll(previous);
    return written;
}

}  // namespace Internal
}  // namespace CustomApplication
