// The names and meanings of the result codes (CoreTypes::ResultCode).
#include <customapp/TarvexInterface.h>

namespace CustomApplication {

namespace {

struct Described {
    std::int32_t code;
    const char* text;
};

// Every code an operation can return, in the order of the enumeration.
constexpr Described kCodes[] = {
    {CoreTypes::Success, "Success: done"},
    {CoreTypes::NotPermitted,
     "NotPermitted: the bus interface or CA was not set up by this application, or the process may not use "
     "that real-time priority"},
    {CoreTypes::NoEntry, "NoEntry: no table or entry with that identifier or index (Init: no platform endpoint)"},
    {CoreTypes::IOError, "IOError: the platform's store failed the operation"},
    {CoreTypes::TooBig, "TooBig: the data is longer than the bus or table accepts"},
    {CoreTypes::PlatformBusy, "PlatformBusy: the platform did not take the message in time; nothing was sent"},
    {CoreTypes::OutOfMemory, "OutOfMemory: an allocation failed"},
    {CoreTypes::AccessDenied, "AccessDenied: refused in this SDK mode, before Init or after Shutdown"},
    {CoreTypes::BadAddress, "BadAddress: the platform refused a range outside its store"},
    {CoreTypes::Busy, "Busy: too many requests of this application wait at the platform"},
    {CoreTypes::AlreadyExists, "AlreadyExists: the bus or address is taken already"},
    {CoreTypes::InvalidArgument, "InvalidArgument: a null pointer or a value out of range"},
    {CoreTypes::FileTooBig, "FileTooBig: the platform's file is too large to serve"},
    {CoreTypes::NoSpace, "NoSpace: the platform's storage is full"},
    {CoreTypes::BrokenPipe, "BrokenPipe: the connection ended while it was being set up"},
    {CoreTypes::CalledFromCallback, "CalledFromCallback: called from a callback: would wait on itself"},
    {CoreTypes::NameTooLong, "NameTooLong: the platform endpoint's path is too long"},
    {CoreTypes::ProtocolError, "ProtocolError: the platform answered the registration otherwise"},
    {CoreTypes::AddressInUse, "AddressInUse: another application holds that IPC address"},
    {CoreTypes::AddressLost, "AddressLost: the J1939 CA lost its address; its messages are not sent"},
    {CoreTypes::ConnectionReset, "ConnectionReset: the platform closed the connection"},
    {CoreTypes::NotConnected, "NotConnected: the connection to the platform is lost; nothing was sent"},
    {CoreTypes::TimedOut, "TimedOut: the platform did not answer in time"},
    {CoreTypes::ConnectionRefused, "ConnectionRefused: nothing accepts at the platform endpoint"},
    {CoreTypes::AlreadyInitialised,
     "AlreadyInitialised: already done, two rows share a key, or an earlier request's answer may still come"},
    {CoreTypes::NotRecoverable, "NotRecoverable: the platform reported failure or answered otherwise"},
};

}  // namespace

const char* TarvexInterface::ResultCodeText(std::int32_t code) {
    if (code > 0) return "Value: a uid, count or state (Init: the errno value of a thread not created)";
    for (const Described& described : kCodes) {
        if (described.code == code) return described.text;
    }
    return "Unknown: not a result code of this library";
}

}  // namespace CustomApplication
