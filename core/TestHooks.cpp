#include "core/TestHooks.h"

#include "common/Result.h"
#include "core/TarvexInterfacePrivate.h"

namespace CustomApplication {

TEST_InstanceState TEST_State(TarvexInterface& facade) {
    TEST_InstanceState state;
    const TarvexInterfacePrivate* d = TarvexInterfacePrivate::TEST_Of(facade);
    if (d == nullptr) return state;
    using P = TarvexInterfacePrivate;
    state.hasPrivateParts = true;
    state.connectionMade = d->connection != nullptr;
    state.clientActive = d->PlatformConnected();
    state.reconnections = d->Client() != nullptr ? d->Client()->Connections() : 0;
    state.listenerStarted = state.connectionMade && d->connection->listenerStarted;
    state.serviceStarted = state.connectionMade && d->connection->serviceStarted;
    state.stopRequested = d->stopRequested.load();
    state.mode = d->sdkMode;
    state.pluginObject = d->plugin != nullptr;
    state.j1939Allowed = d->IsServiceAllowed(P::ServiceJ1939);
    state.j1708Allowed = d->IsServiceAllowed(P::ServiceJ1708);
    state.eepromAllowed = d->IsServiceAllowed(P::ServiceEEPROM);
    state.canAllowed = d->IsServiceAllowed(P::ServiceCAN);
    return state;
}

int TEST_LiveCount() { return TarvexInterfacePrivate::TEST_LiveCount(); }

bool TEST_AwaitLiveCount(int count, int realTimeoutMs) {
    return TarvexInterfacePrivate::TEST_AwaitLiveCount(count, realTimeoutMs);
}

void TEST_OnListenerCreated(TarvexInterface& facade, std::function<void()> hook) {
    TarvexInterfacePrivate* d = TarvexInterfacePrivate::TEST_Of(facade);
    if (d != nullptr) d->TEST_listenerCreated = std::move(hook);
}

std::int32_t TEST_InitWithoutConnecting(TarvexInterface& facade, const CoreTypes::ServiceProviders* table,
                                        std::int32_t mode) {
    TarvexInterfacePrivate* d = TarvexInterfacePrivate::TEST_Of(facade);
    if (d == nullptr) return kOutOfMemory;
    return d->Init(table, static_cast<TarvexInterfacePrivate::SDKMode>(mode));
}

Internal::CAN& TEST_CAN(TarvexInterface& facade) { return TarvexInterfacePrivate::TEST_Of(facade)->can; }

void TEST_Dispatch(TarvexInterface& facade, PlatformServices::QRVMessage& envelope) {
    TarvexInterfacePrivate* d = TarvexInterfacePrivate::TEST_Of(facade);
    if (d != nullptr) d->DispatchMessage(envelope);
}

std::int32_t TEST_ServiceWait(std::int64_t j1939, std::int64_t j1708, std::int64_t can) {
    return TarvexInterfacePrivate::ServiceWait(j1939, j1708, can);
}

}  // namespace CustomApplication
