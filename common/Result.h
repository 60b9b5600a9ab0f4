// Thread rule: constants only; usable from any thread.
//
// The result codes of the library's operations. The facade returns them as
// plain ints, with the same values as before: 0 for success, otherwise the
// negative errno value whose meaning is closest. The public list of every
// code an application can get, with its meaning, is CoreTypes::ResultCode;
// TarvexInterface::ResultCodeText names each.
#pragma once

#include <cstdint>

namespace CustomApplication {

enum Result : std::int32_t {
    kOk = 0,
    // -EPERM: the bus has no interface, or no CA of this instance has that
    // bus and address (also once shut down).
    kNoInterface = -1,
    // -EPERM: the process may not use the scheduling asked for.
    kNotPermitted = -1,
    // -ENOENT: no such uid or row.
    kNotFound = -2,
    // -E2BIG: a row's length is above the bus's maximum.
    kTooLong = -7,
    // -EAGAIN: the platform did not take the message within the write's
    // bound (it is held up); nothing was sent, the connection stays.
    kPlatformBusy = -11,
    // -ENOMEM: an allocation failed.
    kOutOfMemory = -12,
    // -EACCES: the service is not allowed in this mode, or the instance was
    // shut down during the call.
    kNotAllowed = -13,
    // -EEXIST: the bus or address has an interface or CA already.
    kExists = -17,
    // -EINVAL: a null pointer, a value out of range.
    kInvalidArgument = -22,
    // -EDEADLK: a call that waits for the platform's answer was made on the
    // listener thread (from a callback), which is the thread that would take
    // the answer; nothing was sent.
    kCalledFromCallback = -35,
    // -EADDRNOTAVAIL: the CA lost its address to another on the bus.
    kAddressLost = -99,
    // -ENOTCONN: the connection to the platform is lost; nothing was sent.
    // The library reconnects by itself.
    kNotConnected = -107,
    // -ETIMEDOUT: the platform did not answer in time.
    kTimedOut = -110,
    // -EALREADY: already called or registered, or two rows share a key.
    kAlready = -114,
    // -ENOTRECOVERABLE: the platform's answer was of another kind, or it
    // does not report what was asked for.
    kUnexpectedReply = -131,
};

}  // namespace CustomApplication
