#include "j1939/J1939.h"
#include "common/BusMapping.h"
#include "common/TransmitRow.h"

namespace CustomApplication {
namespace Internal {

void J1939::Shutdown() {
    namespace IPC = PlatformServices::J1939IPC;

    // From here on no creation publishes, no send or subscription begins and
    // no further callback starts; readers that still hold the old list keep
    // its CAs alive until they let go of it.
    const CASnapshot list = Close();
    // Sends and subscriptions already under way reach the platform before the
    // withdrawals below.
    AwaitWrites();

    for (const auto& ca : *list) {
        if (!ca) continue;
        const unsigned char ipcBus = ToIPCBus(ca->Bus);
        LinkReceiveTableToPlatform(&ca->ReceiveTable, ipcBus, false);
        for (const auto& row : ca->TransmitTable) {
            if (!row) continue;
            ClearPayload(*row);
        }
        (void)IPC::RemoveControllerApplication(ipcBus, ca->Address, sink_);
    }
    // The CAs themselves go with the last reference to the old list.
}

}  // namespace Internal
}  // namespace CustomApplication
