// Thread rule: for tests only. Each hook is called on the test's thread while
// the facade it takes is alive; the hooks take no lock of their own, so a
// test calls them where the instance's state it reads is settled (before
// Init, after it returned, or after Shutdown).
//
// The one way tests see an instance's private parts: its state as a plain
// snapshot, the count of live instances, the worker threads, and the few
// steps a test drives on its own thread instead of the listener's.
#pragma once

#include <pthread.h>

#include <cstdint>
#include <functional>

namespace PlatformServices {
class QRVMessage;
}

namespace CustomApplication {

class TarvexInterface;
namespace CoreTypes {
struct ServiceProviders;
}
namespace Internal {
class CAN;
}

struct TEST_InstanceState {
    bool hasPrivateParts = false;  // false when constructing them ran out of memory
    bool connectionMade = false;   // Init got as far as creating the connection
    bool clientActive = false;     // the connection to the platform is up
    std::uint32_t reconnections = 0;  // connections made anew after one was lost
    bool listenerStarted = false;
    bool serviceStarted = false;
    bool stopRequested = false;
    std::int32_t mode = 0;      // the mode Init stored (0 application, 1 plug-in)
    bool pluginObject = false;  // the plug-in component exists
    // The service gate of the stored mode.
    bool j1939Allowed = false;
    bool j1708Allowed = false;
    bool eepromAllowed = false;
    bool canAllowed = false;
};

TEST_InstanceState TEST_State(TarvexInterface& facade);

// Private objects alive in this process (constructed, not yet destroyed),
// and a bounded wait for that count (for tests of deferred tear-down).
int TEST_LiveCount();
bool TEST_AwaitLiveCount(int count, int realTimeoutMs);

struct TEST_Workers {
    pthread_t listener{};
    pthread_t service{};
};
// The worker threads' handles; zero for a thread never started. Reads the
// instance's layout only, so that a program on the shared library (which
// exports no hook) can compile it in (see TestWorkers.cpp).
TEST_Workers TEST_WorkerThreads(TarvexInterface& facade);

// Runs in Init on the application's thread once the listener thread exists,
// before Init has recorded it.
void TEST_OnListenerCreated(TarvexInterface& facade, std::function<void()> hook);

// The first step of the facade's Init alone (mode and host table stored, the
// plug-in component made), without the process-wide once and without a
// connection; its result.
std::int32_t TEST_InitWithoutConnecting(TarvexInterface& facade, const CoreTypes::ServiceProviders* table,
                                        std::int32_t mode);
// The instance's CAN component, to set up tables without a connection (the
// facade must have its private parts).
Internal::CAN& TEST_CAN(TarvexInterface& facade);
// Dispatches one received envelope on the caller's thread, as the listener does.
void TEST_Dispatch(TarvexInterface& facade, PlatformServices::QRVMessage& envelope);

// The service loop's wait for one pass, given the three bus services' results.
std::int32_t TEST_ServiceWait(std::int64_t j1939, std::int64_t j1708, std::int64_t can);

}  // namespace CustomApplication
