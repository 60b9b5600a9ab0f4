// Apart from the other test hooks: it reads only the instance's layout, so
// that a program linked with the shared library, which exports no hook, can
// compile this file in.
#include "core/TarvexInterfacePrivate.h"
#include "core/TestHooks.h"

namespace CustomApplication {

TEST_Workers TEST_WorkerThreads(TarvexInterface& facade) {
    TEST_Workers workers;
    const TarvexInterfacePrivate* d = TarvexInterfacePrivate::TEST_Of(facade);
    if (d == nullptr || d->connection == nullptr) return workers;
    if (d->connection->listenerStarted) workers.listener = d->connection->listenerThread;
    if (d->connection->serviceStarted) workers.service = d->connection->serviceThread;
    return workers;
}

}  // namespace CustomApplication
