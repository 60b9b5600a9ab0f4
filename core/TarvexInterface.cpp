#include <customapp/TarvexInterface.h>

#include <atomic>
#include <new>

#include "Helper.h"
#include "core/TarvexInterfacePrivate.h"
#include "common/Result.h"

namespace CustomApplication {

namespace {
// Set by the first Init of the process, whatever its outcome; never cleared.
std::atomic<bool> libraryInitialised{false};
}  // namespace

TarvexInterface::TarvexInterface() : d(nullptr) {
    // Out of memory, here or in a member's construction, leaves the facade
    // without a private object: its operations then report -12.
    try {
        d = new TarvexInterfacePrivate();
    } catch (const std::bad_alloc&) {
        d = nullptr;
    }
    (void)PlatformServices::Helper::GetTicks();
}

TarvexInterface::~TarvexInterface() {
    if (d == nullptr) return;
    d->Shutdown();
    // On a worker thread (a callback destroying its instance) the worker
    // finishes the tear-down itself once it has left its loop.
    if (d->ReleaseFromFacade()) delete d;
    d = nullptr;
}

std::int32_t TarvexInterface::Init(std::int32_t ipcAddress, void* serviceProviders, std::int32_t mode) {
    if (libraryInitialised.exchange(true)) return kAlready;
    if (mode > 1) return kInvalidArgument;
    if (d == nullptr) return kOutOfMemory;
    const std::int32_t result = d->Init(static_cast<const CoreTypes::ServiceProviders*>(serviceProviders),
                                        static_cast<TarvexInterfacePrivate::SDKMode>(mode));
    if (result != 0) return result;
    d->j1939.Reset();
    d->j1708.Reset();
    d->can.Reset();
    return d->Connect(ipcAddress);
}

void TarvexInterface::Shutdown() {
    if (d != nullptr) d->Shutdown();
}

void TarvexInterface::RegisterConnectionNotifier(CoreTypes::ConnectionNotifier notifier, void* context) {
    if (d != nullptr) d->RegisterConnectionNotifier(notifier, context);
}

std::int32_t TarvexInterface::GetConnectionState() {
    return d != nullptr ? d->ConnectionState() : CoreTypes::ConnectionClosed;
}

std::int32_t TarvexInterface::SetRealTimePriority(std::int32_t priority) {
    return d != nullptr ? d->SetRealTimePriority(priority) : kNotAllowed;
}

}  // namespace CustomApplication
