#include "core/TarvexInterfacePrivate.h"
#include "common/TransmitRow.h"

namespace CustomApplication {

void TarvexInterfacePrivate::J1939Shutdown() {
    using J1939 = TarvexInterfacePrivate::J1939;
    namespace IPC = PlatformServices::J1939IPC;

    // From here on no creation publishes, no send or subscription begins and
    // no further callback starts; readers that still hold the old list keep
    // its CAs alive until they let go of it.
    const J1939::CASnapshot list = j1939.Close();
    // Sends and subscriptions already under way reach the platform before the
    // withdrawals below.
    j1939.AwaitWrites();

    for (const auto& ca : *list) {
        if (!ca) continue;
        const unsigned char ipcBus = SDKCANBusToIPCBus(ca->Bus);
        J1939LinkReceiveTableToPlatform(&ca->ReceiveTable, ipcBus, false);
        for (const auto& row : ca->TransmitTable) {
            if (!row) continue;
            ClearPayload(*row);
        }
        (void)IPC::RemoveControllerApplication(ipcBus, ca->Address, Sink());
    }
    // The CAs themselves go with the last reference to the old list.
}

}  // namespace CustomApplication
