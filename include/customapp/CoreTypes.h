// Thread rule: plain types; no state, usable from any thread.
#pragma once

#include <cstdint>

namespace CustomApplication {
namespace CoreTypes {

// The gateway's CAN buses. Each value equals the bus number that the
// platform's messages carry.
enum CANBus : std::int32_t {
    CANBus0 = 0,
    CANBus1 = 1,
    CANBus2 = 2,
    CANBus3 = 3,
    CANBus4 = 4,
    // A bus number received from the platform that this library does not
    // know; never valid as an argument.
    CANBusUnknown = 5,
};

// Result codes: 0 for success, otherwise a negated Linux errno value. Every
// code an operation of this library can return is listed here;
// TarvexInterface::ResultCodeText names each. (Operations that return a uid,
// a count or a state return it as a positive value instead of Success.)
enum ResultCode : std::int32_t {
    Success = 0,
    NotPermitted = -1,          // EPERM: the bus interface or CA was not set up by this application;
                                // SetRealTimePriority: the process may not use that priority
    NoEntry = -2,               // ENOENT: no table or entry with that identifier or index; from Init:
                                // no platform endpoint at that path; from a plug-in file query: the
                                // platform has no such file
    IOError = -5,               // EIO: the platform's store failed the operation (an EEPROM read,
                                // write or save; a plug-in file read)
    TooBig = -7,                // E2BIG: an entry's data is longer than the bus or table accepts
    PlatformBusy = -11,         // EAGAIN: the platform did not take the message within 500 ms (it is
                                // held up); nothing was sent and the connection stays
    OutOfMemory = -12,          // ENOMEM
    AccessDenied = -13,         // EACCES: refused in the current SDK mode; from Init: the endpoint
                                // may not be opened
    BadAddress = -14,           // EFAULT: the platform refused an EEPROM range outside its store
    Busy = -16,                 // EBUSY: the platform refused the request: too many of this
                                // application's requests wait there already
    AlreadyExists = -17,        // EEXIST
    InvalidArgument = -22,      // EINVAL: null pointer or value out of range
    FileTooBig = -27,           // EFBIG: from a plug-in file query: the file is too large to serve
    NoSpace = -28,              // ENOSPC: the platform's storage is full (an EEPROM save)
    BrokenPipe = -32,           // EPIPE: from Init: the connection ended during the registration
    CalledFromCallback = -35,   // EDEADLK: an operation that waits for the platform's answer was
                                // called on the listener thread (from a callback), where the answer
                                // could never be taken; nothing was sent
    NameTooLong = -36,          // ENAMETOOLONG: from Init: the endpoint path is too long
    ProtocolError = -71,        // EPROTO: from Init: the platform answered the registration otherwise
    AddressInUse = -98,         // EADDRINUSE: from Init: another application holds that IPC address
    AddressLost = -99,          // EADDRNOTAVAIL: the J1939 CA lost its address to another CA or node;
                                // its messages are no longer sent
    ConnectionReset = -104,     // ECONNRESET: from Init: the platform closed the connection
    NotConnected = -107,        // ENOTCONN: the connection to the platform is lost; nothing was sent.
                                // The library reconnects by itself (see GetConnectionState)
    TimedOut = -110,            // ETIMEDOUT: the platform did not answer in time, or a semaphore wait
                                // ran out
    ConnectionRefused = -111,   // ECONNREFUSED: from Init: nothing accepts at the platform endpoint
    AlreadyInitialised = -114,  // EALREADY; from a request that waits for an answer: an earlier
                                // request's answer, which could not be told from this one's, may still come
    NotRecoverable = -131,      // ENOTRECOVERABLE: the platform reported failure or answered otherwise
                                // (another kind of answer, or a success for other than was asked)
};

// The connection to the platform, as TarvexInterface::GetConnectionState
// reports it.
enum ConnectionState : std::int32_t {
    // Before a successful Init, and once Shutdown has begun.
    ConnectionClosed = 0,
    // Connected and registered, and after a reconnection everything the
    // application registered is back: operations reach the platform.
    ConnectionUp = 1,
    // The platform closed the connection or went away. Operations that would
    // send return -107 at once; the library connects anew by itself, about
    // every 200 ms, and restores what the application registered.
    ConnectionLost = 2,
};

// What TarvexInterface::RegisterConnectionNotifier tells of, with the value
// that comes with it.
enum ConnectionNotice : std::int32_t {
    // The platform closed the connection or went away (value 0): the state
    // is ConnectionLost from now on.
    NoticeConnectionLost = 1,
    // A new connection has everything registered back (value 0): the state
    // is ConnectionUp again.
    NoticeConnectionRestored = 2,
    // A CA of this application lost its address (value: its uid); its sends
    // return -99 from now on.
    NoticeAddressLost = 3,
    // The platform reports a CA that had lost its address as holding it
    // again (value: its uid); it sends again.
    NoticeAddressRegained = 4,
};

// Told of a ConnectionNotice: (context given with the notifier, notice, value).
typedef void (*ConnectionNotifier)(void* context, std::int32_t notice, std::int32_t value);

// A task handed to the host's scheduler: (task argument, value from the host).
typedef void (*TaskFunction)(void* argument, std::int32_t value);

// The host's table of services, handed to TarvexInterface::Init as an untyped
// pointer and copied there. Fourteen pointer-sized entries, in this order.
// Entries 1 to 5 receive hostContext as their first argument, entries 8 to 13
// receive taskContext. The library calls an entry on the thread named with it.
struct ServiceProviders {
    void* hostContext;
    // NotifyAppShutdown, on the caller's thread.
    void (*notifyAppShutdown)(void* hostContext);
    // SetVersionInfo, on the caller's thread.
    void (*setVersionInfo)(void* hostContext, std::int32_t, std::int32_t, std::int32_t, std::int32_t);
    // Around every message received from the platform, on the listener thread.
    void (*messageDispatchBegin)(void* hostContext);
    void (*messageDispatchEnd)(void* hostContext);
    // The plug-in identifier written at the head of every plug-in request.
    std::int32_t (*getPluginId)(void* hostContext);
    void* reserved;  // never called
    void* taskContext;
    std::int32_t (*taskScheduleAt)(void* taskContext, TaskFunction task, void* argument, std::int64_t time);
    std::int32_t (*taskScheduleEvery)(void* taskContext, TaskFunction task, void* argument, std::int64_t period);
    std::int32_t (*taskScheduleAsync)(void* taskContext, TaskFunction task, void* argument);
    void (*taskCancel)(void* taskContext, std::int32_t taskId);
    void (*taskCheckInAsync)(void* taskContext, std::int32_t taskId);
    void (*taskDisableWatchdogAsync)(void* taskContext, std::int32_t taskId);
};

}  // namespace CoreTypes
}  // namespace CustomApplication
