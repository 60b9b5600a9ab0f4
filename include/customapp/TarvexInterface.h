// Thread rule: construct, Init, use, Shutdown and destroy a TarvexInterface
// from the application's threads. After Init, operations may be called from
// any application thread; Init itself must not race with any other call.
// Receive callbacks and the host's dispatch hooks run on the library's
// listener thread; cyclic transmissions go out from its service thread.
// The cyclic rows due on one pass of it go out together, in one message to
// the platform per kind of bus (CAN, J1939, J1708; more only where their
// frames exceed one message's 64 KiB), so that rows due at the same time do
// not wait for one another's writes.
// A callback may call Shutdown and may even destroy the instance; the
// instance is then torn down once the callback has returned.
// An operation that waits for the platform's answer (J1939CreateCA,
// J1939AttachToPlatformCA, the EEPROM operations, PluginGetFileStats and
// PluginGetFileData) cannot get it on the listener thread, which is the
// thread that takes the answers: called from a callback it fails at once
// with -35 and sends nothing (EEPROMGetState: 5). Hand such work to a
// thread of the application.
// Both worker threads run with a 64 KiB stack: receive callbacks, the
// job-start notifier and the host's dispatch hooks must keep their stack use
// (large local arrays, deep recursion) well below that. They run under the
// ordinary scheduling policy unless SetRealTimePriority asks for more.
// Shutdown and the destructor, called on an application thread, wait until a
// callback under way on the listener thread has returned. So never call them
// while holding a lock that a callback of this instance takes: the callback
// would wait for the lock and Shutdown for the callback, for ever.
// How long a call blocks at most: an operation that sends one message, 500
// ms (the platform held up; then -11, nothing sent); one that sends a
// message per row or subscription (CANInit; J1939CreateCA and
// J1939AttachToPlatformCA for their receive rows), 500 ms per message it
// sends, but it stops at the first message the platform does not take
// (-11) and sends none of the rest: a platform that takes nothing more
// costs it 500 ms for that message and 500 ms for the withdrawal of those
// sent before it, which stops likewise at its first message not taken (the
// connection is then made anew); an EEPROM operation, 500 ms in all; a
// plug-in file query, 800 ms in all; J1939CreateCA and
// J1939AttachToPlatformCA, 1.5 s for the creation itself (see there) before
// their receive rows; Shutdown, well under a second. A request the platform
// does not take fails with -11 at once; the wait for another thread's
// request of the same kind counts within the request's bound.
// Every operation that needs the platform (the CAN, J1939 and J1708
// operations except the catch-all registrations of CAN and J1708 and
// J1939GetSourceAddressFromCA, the EEPROM operations and the plug-in
// operations) is refused before a successful Init and once Shutdown has
// begun: it returns -13 (EEPROMGetState: 5; the plug-in operations without a
// result do nothing), sends nothing, changes nothing and uses no uid.
//
// The platform connection. A platform that is held up (it stops reading for
// a while) costs only the messages it could not take: a message that cannot
// start going out within 500 ms is given up (an operation that sends it
// returns -11 or, for a request, fails with it at once) and the connection
// stays; a message that went out in part is always finished, so the stream
// is never corrupted. Cyclic rows that could not go out are not made up for:
// a row goes out once when it can, then keeps its period. When the platform
// closes the connection or goes away, every send and every request returns
// -107 at once (a request waiting for an answer ends with -107), and
// GetConnectionState reports it; a registration made meanwhile (CANInit,
// J1708Init, a catch-all) is kept and reaches the platform with the rest.
// A registration (CANInit, the catch-alls, J1708Init, the receive rows of
// J1939CreateCA) whose message the held-up platform did not take fails with
// -11 and leaves nothing behind, at the platform included (should a
// withdrawal not go out either, the connection is made anew so that the
// platform holds exactly what is registered).
// The listener thread then connects anew about every 200 ms; once the
// platform accepts again (restarted), it registers the same IPC address and
// restores, with no action by the application, every
// CAN interface's subscriptions and catch-alls, every CA (asked for again on
// the same bus and address with the same NAME; an attached CA is the
// platform's own) with its subscriptions, and the J1708 subscription. Cyclic
// rows go out again from the next service pass. A message of the restore
// that the platform does not take costs that connection, and the next one
// restores everything again: nothing is lost, nothing is subscribed twice.
// The restore ends with a question for the platform's list of this
// application's CAs: its answer tells that the platform holds everything
// sent before it (a CA that another won meanwhile is lost from then on, as
// if it lost its address while connected). Only then does GetConnectionState
// read 1 again (at most 2 s after the restore was sent when no answer
// comes); until then a CA's sends return -107 and its cyclic rows wait. A
// registration made while the restore is sent waits for it (at most 3 s,
// then -11) and goes out once after it. RegisterConnectionNotifier tells of
// all of this as it happens. The virtual EEPROM is the
// platform's: it holds what the platform saved. Init itself still succeeds
// only once per process.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "CANTypes.h"
#include "CoreTypes.h"
#include "Export.h"
#include "J1708Types.h"
#include "J1939Types.h"
#include "PluginTypes.h"

namespace CustomApplication {

class TarvexInterfacePrivate;

// The one facade through which a custom application reaches the gateway.
class CUSTOMAPP_EXPORT TarvexInterface {
public:
    // Creates the implementation object. No thread runs until Init.
    TarvexInterface();
    // Calls Shutdown, then releases everything the instance holds. When
    // called from a callback on the listener thread, the last of the tear-down
    // completes on that thread once the callback has returned.
    ~TarvexInterface();
    TarvexInterface(const TarvexInterface&) = delete;
    TarvexInterface& operator=(const TarvexInterface&) = delete;

    // Connects to the platform, registers `ipcAddress` and starts the listener
    // and service threads. `serviceProviders` points to the host's
    // CoreTypes::ServiceProviders table, which is copied (it need not outlive
    // the call). `mode`: 0 application mode, 1 plug-in mode.
    // Succeeds once per process: every later call, on any instance, returns
    // -114, whatever the first call's outcome.
    // Results: 0; -114 already called in this process; -22 mode above 1 or a
    // null table; -12 out of memory; a negative errno value from connecting;
    // the platform's registration result when it is 0 or less; a positive
    // errno value when a worker thread cannot be created.
    std::int32_t Init(std::int32_t ipcAddress, void* serviceProviders, std::int32_t mode);

    // Stops the instance: withdraws the bus subscriptions, closes the
    // platform connection and joins both worker threads (a worker thread
    // calling it is not joined by itself; the join happens at destruction).
    // Returns in bounded time (well under a second) also when the platform
    // has stopped reading: its withdrawals are given up once they could not
    // be written within 300 ms all together, and a message under way is cut
    // short. It waits for a callback under way on the listener thread (see
    // the thread rule above).
    // Idempotent; once it has begun, no callback, job-start notifier or
    // messageDispatchBegin of this instance starts, also for the rest of a
    // batch of messages under way (a message already being dispatched still
    // ends with messageDispatchEnd).
    void Shutdown();

    // The version of this interface: 2. Needs no Init.
    std::int32_t GetSDKVersion();

    // The state of the platform connection, a CoreTypes::ConnectionState:
    // 0 before a successful Init and once Shutdown has begun, 1 connected
    // (after a reconnection: only once everything registered is back), 2
    // lost (the library is connecting anew or restoring; see the thread rule
    // above).
    // Any thread; never waits.
    std::int32_t GetConnectionState();

    // Runs the library's two threads, the listener (every receive callback,
    // the job-start notifier, the host's dispatch hooks) and the service
    // thread (cyclic rows), at real-time priority `priority` under the
    // first-in, first-out policy (SCHED_FIFO, 1 to 99; the higher runs
    // first), so that the machine's other work delays them no more than it
    // must; 0 puts both back under the ordinary time-sharing policy. Both
    // threads change, or neither does. The process needs the right to it: on
    // a PC the capability CAP_SYS_NICE (root, or `setcap cap_sys_nice+ep` on
    // the program), or a real-time limit (RLIMIT_RTPRIO, `ulimit -r`) of at
    // least `priority`; on the gateway, the application host grants it to
    // the applications it starts, or not. At a real-time priority a callback
    // that runs long keeps every ordinary thread of the machine off its core
    // meanwhile: keep callbacks short. The setting lasts until the next call
    // or Shutdown; it does not change the application's own threads.
    // Any thread, a callback included; never waits for the platform.
    // Results: 0; -22 `priority` outside 0 to 99; -13 before a successful
    // Init or once Shutdown has begun; -1 the system refused it (the process
    // may not use that priority). Whenever the result is not 0, nothing
    // changed.
    std::int32_t SetRealTimePriority(std::int32_t priority);

    // The name and meaning of result code `code`, such as "TimedOut: the
    // platform did not answer in time" for -110 (see CoreTypes::ResultCode).
    // A value above 0 is named as a uid, count or state; a negative value
    // this library never returns as "Unknown". The text is static: never
    // null, never to be freed. Any thread; needs no Init.
    static const char* ResultCodeText(std::int32_t code);

    // Registers the function told of the connection and of this
    // application's CAs (CoreTypes::ConnectionNotice): the connection lost,
    // the connection restored (everything registered is back: the state
    // reads 1 from then on), a CA that lost its address, a CA that regained
    // it. `notifier` and `context` take effect together and replace an
    // earlier registration; a null `notifier` turns notices off. May be
    // called before Init. The notifier runs on the listener thread, as the
    // receive callbacks do (the same rules hold: see the thread rule above),
    // in the order the library learns of the changes; a notice that is
    // already being delivered may still reach the previous notifier after
    // this returns. No notice is given once Shutdown has begun. A CA's loss
    // is told once; its uid stays valid. Any thread; never waits.
    void RegisterConnectionNotifier(CoreTypes::ConnectionNotifier notifier, void* context);

    // --- Host services. They forward to the table given to Init, on the
    // caller's thread; before a successful table copy, or for an entry the
    // host left null, the forwarding operations do nothing and those with a
    // result return -22.
    std::int32_t TaskScheduleAt(CoreTypes::TaskFunction task, void* argument, std::int64_t time);
    std::int32_t TaskScheduleEvery(CoreTypes::TaskFunction task, void* argument, std::int64_t period);
    std::int32_t TaskScheduleAsync(CoreTypes::TaskFunction task, void* argument);
    void TaskCancel(std::int32_t taskId);
    void TaskCheckInAsync(std::int32_t taskId);
    void TaskDisableWatchdogAsync(std::int32_t taskId);
    void SetVersionInfo(std::int32_t major, std::int32_t minor, std::int32_t revision, std::int32_t build);
    void NotifyAppShutdown();

    // Monotonic milliseconds of the platform's tick counter.
    std::int64_t GetTicks();

    // Semaphores: manual-reset events for the application's own threads.
    // SemaphoreCreate returns a handle that the application owns and releases
    // with SemaphoreFree (null when out of memory). Once set, a semaphore
    // stays set, and every wait returns at once, until it is reset. Any
    // thread may set, reset and wait at the same time.
    void* SemaphoreCreate();
    void SemaphoreFree(void* semaphore);  // null: nothing
    // 0 when set (at once if already set), -110 after `timeoutMs` ms,
    // -22 for a null handle. The wait does not reset the semaphore.
    std::int32_t SemaphoreWait(void* semaphore, std::int32_t timeoutMs);
    void SemaphoreReset(void* semaphore);  // null: nothing
    void SemaphoreSet(void* semaphore);    // null: nothing

    // Replaces `parts` with the pieces of `text` between `separator`
    // characters, empty pieces included; returns the number of pieces.
    std::int32_t StringSplit(const std::string& text, std::vector<std::string>& parts, char separator);

    // --- CAN ---
    // Raw frames on the CAN buses 0 to 4. The receive callbacks registered
    // here run on the listener thread, one frame at a time; a callback that
    // blocks stalls all reception. A callback gets its registration's
    // context, the bus, the frame's identifier, the row's own Type (the
    // frame's format for a catch-all), the payload (valid only during the
    // call) and its length (at most 8). No callback starts once Shutdown has
    // begun. The library copies every table, row and
    // payload handed to these operations during the call; the application
    // keeps ownership of what it passed in. Should the instance itself have
    // failed to allocate, every operation here returns -12.

    // Sets up `bus`: copies the receive table (rows keyed by identifier) and
    // the transmit table, subscribes every receive row with the platform and
    // returns the new interface's uid (1, 2, ... in order of creation, never
    // given twice). Both table pointers must be non-null even with a count
    // of 0; a count of 0 or less copies nothing. Transmit rows with a
    // positive Period are also sent every Period ms by the service thread;
    // rows with a negative Period on every pass of it.
    // Results: the uid; -13 CAN not allowed in this SDK mode; -22 a null
    // table pointer, `bus` outside 0 to 4, a transmit row with a Length
    // above 0 and a null Data, or a transmit row whose Identifier does not
    // fit its format (11 bits for a standard frame, 29 for Extended); -17 `bus` already has an interface (also one
    // being set up at this moment); -12 out of memory; -114 two receive rows
    // share an identifier; -7 a transmit row's Length is above 8; -11 the
    // platform did not take a subscription (held up), or a restore of the
    // connection did not end within 3 s. A failed call leaves nothing behind
    // and uses no uid.
    std::int32_t CANInit(CoreTypes::CANBus bus, CANTypes::CANReceiveTableEntry* receiveTable,
                         std::int32_t receiveCount, CANTypes::CANTransmitTableEntry* transmitTable,
                         std::int32_t transmitCount);

    // Sends row `index` (0-based, in the table given to CANInit) of interface
    // `uid` now, with its current payload. Once written, the row's cycle
    // restarts: its next cyclic send is a full Period later. (A cyclic row
    // keeps its phase: it goes out on the first service pass at or after the
    // millisecond it is due, and each cycle counts from when the row was
    // due, not from when it went out, so a late send does not delay the
    // next; a row more than half a Period late skips the cycles it missed.)
    // Results: 0 (the frame was written); -13 CAN not allowed in this SDK
    // mode, or before Init or after Shutdown; -2 no interface `uid` or
    // `index` outside its transmit table; otherwise the negative result of
    // the failed write (nothing was sent, the cycle is unchanged).
    std::int32_t CANSendMessage(std::int32_t uid, std::int32_t index);

    // Sends one frame on `message->Bus`, which need not have an interface.
    // A Type other than Extended sends a standard frame. The message is read
    // only during the call. A refused frame is not sent.
    // Results: 0 (the frame was written); -13 CAN not allowed in this SDK
    // mode; -22 `message` is null, its Bus is outside 0 to 4, or its
    // Identifier does not fit its format (11 bits for a standard frame, 29
    // for Extended); -7 its Length is above 8; otherwise the negative result
    // of the failed write.
    std::int32_t CANSendMessage(CANTypes::CANMessage* message);

    // Replaces the payload of row `index` of interface `uid` with `length`
    // bytes of `data` (copied). Nothing is sent; the next requested or
    // cyclic send carries the new payload.
    // Results: 0; -13 CAN not allowed in this SDK mode; -22 `data` is null,
    // `length` is above 8, or the row holds no payload and `length` is 0;
    // -2 no such interface or row; -12 the larger buffer could not be
    // allocated (the row is then left without payload and sends empty
    // frames until a later update succeeds).
    std::int32_t CANUpdateMessageData(std::int32_t uid, std::int32_t index, const unsigned char* data,
                                      unsigned char length);

    // Registers the catch-all callback of `bus` for frames of `type`
    // (Standard or Extended; any other value never fires): it gets every
    // frame of that bus and format that no receive row with a callback took,
    // and asks the platform for every frame of the bus. It stays registered
    // for the life of the instance. Needs no SDK-mode permission.
    // Results: 0; -22 `callback` is null or `bus` is outside 0 to 4; -1
    // `bus` has no interface (CANInit first); -114 a callback for this bus and type is registered already;
    // -12 out of memory; -11 the platform did not take the subscription
    // (nothing is registered then).
    std::int32_t CANRegisterReceiveAllMessages(CoreTypes::CANBus bus, CANTypes::FrameType type,
                                               CANTypes::CANReceiveCallback callback, void* context);

    // --- J1939 ---
    // Controller applications (CAs) on the J1939 stack of the platform. A CA
    // is named by the uid that its creation returns (1, 2, ... per instance,
    // never given twice); a transmit row by (uid, 0-based index in the
    // transmit table passed at creation). The tables, NAME and buffers passed
    // in stay the application's: they are copied during the call. Receive
    // callbacks run on the listener thread, one message at a time; the data
    // pointer they get is valid only during the call. A callback may send and
    // update rows but must not create or attach a CA: the call would wait in
    // vain for the platform's reply, which only the listener thread handles,
    // and return -110 after 500 ms (at once, sending nothing, while a
    // creation of another thread waits). After Shutdown no callback starts.

    // Asks the platform to create a CA with `name` claiming `address` on
    // `bus` (0 to 4) and waits up to 500 ms for the platform to report it
    // present; the 500 ms bound the whole call, the wait for another
    // creation of this instance included, except that a message that began
    // to go out before they ran out may take its own 500 ms bound, and the
    // withdrawal of a creation that went out (see below) another 500 ms: the
    // call blocks 1.5 s at the very most. A request the platform does not
    // take (held up) ends the call at once with -11 and nothing after it is
    // sent, so a platform that takes nothing fails it after 500 ms. Only a list that holds the CA
    // answers it (a list that comes late for an earlier creation is passed
    // over). Receive rows select messages to this CA or to the global
    // address 255: mode 0 by PGN, 1 by source address, 2 by both (other modes
    // are kept but never match); (PGN, SourceAddress) must be unique in the
    // table; a row without a callback is subscribed but never delivers.
    // Matching rows are called in ascending (PGN << 8 | SourceAddress) order.
    // Transmit rows with a non-zero Period are also sent cyclically (a
    // negative Period: on every pass of the service thread). Creations and
    // attaches of one instance run one at a time. A created CA may lose its
    // address later, to a lower NAME that claims it or defends it (a node on
    // the bus does so within 250 ms of the claim): see J1939SendMessage.
    // Results: the uid (1 or more); -13 J1939 not allowed in this SDK mode,
    // or the instance was shut down during the call; -22 a null table pointer
    // (also with a count of 0), a bus outside 0 to 4, a null `name`,
    // `address` 254 or 255, a transmit row with a negative Length, with a
    // null Data and a Length above 0, with a Priority above 7 or a PGN
    // beyond 18 bits (above 0x3FFFF, which the platform never sends); -17 a CA of this instance has this bus
    // and address already; -114 two receive rows share PGN and
    // SourceAddress; -7 a transmit row's Length is above 1785; -12 out of
    // memory; -35 called on the listener thread (from a callback), at once
    // and sending nothing; -110 no answer from the platform within 500 ms;
    // -11 the platform did not take a request in time (held up); -107 the
    // platform connection is lost (at once, or as soon as it happens while
    // the call waits; also once shut down);
    // -131 the platform answered within 500 ms, but with no list that holds
    // the CA (returned at the end of the 500 ms); -11 the platform did not
    // take a receive row's subscription. A failure leaves nothing
    // behind: once the creation request went out, a failure also asks the
    // platform to remove a CA of this bus and address, which it may have
    // made all the same.
    std::int32_t J1939CreateCA(CoreTypes::CANBus bus, unsigned char address, const J1939Types::J1939Name* name,
                               J1939Types::J1939ReceiveTableEntry* receiveTable, std::int32_t receiveCount,
                               J1939Types::J1939TransmitTableEntry* transmitTable, std::int32_t transmitCount);
    // Takes over the first CA that the platform keeps configured on `bus`,
    // with the given tables (as for J1939CreateCA). Attaching twice gives
    // two CAs with the same bus and address.
    // The platform does not report that its configured CA lost its address:
    // sends from an attached CA are never refused with -99.
    // Results: as J1939CreateCA, without the NAME and address checks and
    // without -17; -131 when the platform keeps no CA on `bus` (its list of
    // configured CAs answers an attach at once).
    std::int32_t J1939AttachToPlatformCA(CoreTypes::CANBus bus, J1939Types::J1939ReceiveTableEntry* receiveTable,
                                         std::int32_t receiveCount, J1939Types::J1939TransmitTableEntry* transmitTable,
                                         std::int32_t transmitCount);
    // Writes the address of CA `uid` to `*address`.
    // Results: 0; -22 `address` is null; -2 no CA with that uid.
    std::int32_t J1939GetSourceAddressFromCA(std::int32_t uid, unsigned char* address);
    // Sends row `index` of CA `uid` now, from the CA's bus and address. This
    // restarts the row's cycle: its next cyclic send is a full Period later.
    // A CA whose address another CA or node won (the platform's list of the
    // CAs present, received on the listener thread, no longer holds it) has
    // lost it for good: its rows are no longer sent, cyclically or on
    // request; it keeps its uid and its receive rows.
    // Results: 0 (the message was written); -13 J1939 not allowed in this SDK
    // mode; -2 no CA with that uid, or `index` outside its transmit table;
    // -99 the CA lost its address; otherwise the negative result of the
    // failed write (the row's cycle is then unchanged).
    std::int32_t J1939SendMessage(std::int32_t uid, std::int32_t index);
    // Sends one message; its SourceAddress must be the address of one of
    // this instance's CAs on its Bus. A Length above 1785 sends 1785 bytes.
    // Up to 8 bytes go in one frame (a PDU2 message then to everyone); a
    // longer one goes to DestinationAddress alone by RTS/CTS, PDU1 or PDU2,
    // or to everyone by BAM when it is 255.
    // 0 means the platform was handed the message, not that it reached the
    // bus or its destination. Not reported to the application: a long
    // message whose RTS/CTS session ended in an abort or a time-out (no
    // node at the destination, for one), and a message that the platform
    // dropped because 32 messages of that CA to that destination were
    // waiting already.
    // Results: 0 (the message was written); -13 J1939 not allowed in this
    // SDK mode; -22 `message` is null, its Bus is outside 0 to 4, its
    // Priority above 7 or its PGN beyond 18 bits (nothing is sent); -1 no CA
    // of this instance has that bus and address; -99 the CAs of this instance
    // there lost their address (see above); otherwise the negative result of
    // the failed write.
    std::int32_t J1939SendMessage(J1939Types::J1939Message* message);
    // Replaces the payload of row `index` of CA `uid` with `length` bytes of
    // `data`; the next requested or cyclic send carries it. Nothing is sent.
    // Results: 0; -13 J1939 not allowed in this SDK mode; -22 `data` is null
    // or `length` is not 1 to 1785; -2 no CA with that uid, or `index`
    // outside its transmit table; -12 out of memory (the row then sends no
    // payload until the next successful update).
    std::int32_t J1939UpdateMessageData(std::int32_t uid, std::int32_t index, const unsigned char* data,
                                        std::int32_t length);
    // Gives CA `uid` a callback for the messages to it (or to the global
    // address) that none of its receive rows delivered, and subscribes the
    // CA's bus to all messages. A second call replaces callback and context
    // together; a null callback subscribes but receives nothing. The
    // registration lasts as long as the CA; only the first call subscribes.
    // Results: 0; -13 J1939 not allowed in this SDK mode; -2 no CA with that
    // uid; -12 out of memory; -11 the platform did not take the subscription
    // (the earlier registration, if any, stays).
    std::int32_t J1939RegisterReceiveAllMessages(std::int32_t uid, J1939Types::J1939ReceiveCallback callback,
                                                 void* context);

    // --- J1708 ---
    // The single SAE J1708 bus. Refused with -13 outside application mode
    // (mode 0), except J1708RegisterReceiveAllMessages. Receive callbacks run
    // on the listener thread, one at a time; while one runs nothing else is
    // received, and a blocking request made from it (an EEPROM operation, a
    // file query) fails at once with -35.

    // Registers the receive table (one row per MID) and the transmit table,
    // and subscribes to received frames. Both tables are copied, data bytes
    // included; the application keeps ownership of them and of the data
    // buffers, which are not read after the call. Both pointers are required,
    // also with a count of 0; a count of 0 or less registers no row.
    // A transmit row's index for J1708SendMessage(int) and
    // J1708UpdateMessageData is its position in `transmitTable`.
    // Succeeds once per instance. A failed call registers nothing and sends
    // nothing, so a corrected call may follow.
    // Results: 0; -13 refused in this mode, or before Init or after
    // Shutdown; -22 a null table pointer, or a transmit row with a Length
    // above 0 and a null Data; -114 already registered, or two receive rows
    // with the same MID; -7 a transmit row with a Length above 19 (a frame on
    // the bus is at most 21 bytes with its MID and checksum); -12 out of
    // memory; -11 the platform did not take the subscription.
    std::int32_t J1708Init(J1708Types::J1708ReceiveTableEntry* receiveTable, std::int32_t receiveCount,
                           J1708Types::J1708TransmitTableEntry* transmitTable, std::int32_t transmitCount);

    // Sends transmit row `index` now, with its current data, and restarts
    // its cycle: a cyclic row is next sent a full Period later.
    // Results: 0 (the message was handed to the platform); -13 refused in
    // this mode, or before Init or after Shutdown; -2 no such row (also
    // before J1708Init); otherwise the negative result of the failed write
    // (the row's cycle is then unchanged).
    std::int32_t J1708SendMessage(std::int32_t index);

    // Sends one message of `message->Length` data bytes after the MID, with
    // `message->Priority`; the Checksum field is not read. The message is
    // read only during the call. Needs no J1708Init.
    // Results: 0 (the message was handed to the platform); -13 refused in
    // this mode; -22 `message` is null; -7 a Length above 19, which no frame
    // on the bus can carry (nothing is sent); otherwise the negative result
    // of the failed write.
    std::int32_t J1708SendMessage(J1708Types::J1708Message* message);

    // Replaces the data of transmit row `index` with `length` bytes copied
    // from `data`; they go out with the row's next send. Nothing is sent now.
    // Results: 0; -13 refused in this mode; -22 `data` is null or `length`
    // is 0 or above 19; -2 no such row; -12 out of memory, and the row is
    // left without data (it is sent as the MID alone until a later update
    // succeeds).
    std::int32_t J1708UpdateMessageData(std::int32_t index, const unsigned char* data, unsigned char length);

    // Registers the callback for received messages whose MID has no receive
    // row, or a row without a callback, replacing an earlier registration;
    // `callback` and `context` take effect together. A null callback turns
    // the catch-all off. Allowed in every mode and at any time, but a
    // registration made before Init does not survive Init. A call of the
    // previous callback that is under way may still complete after this
    // returns.
    void J1708RegisterReceiveAllMessages(J1708Types::J1708ReceiveCallback callback, void* context);

    // --- Virtual EEPROM ---
    // A block of persistent bytes that the platform keeps for the
    // application. Each operation sends one request and blocks the calling
    // thread until the platform answers, at most 500 ms in all, the wait for
    // its turn included while an EEPROM operation of another thread is in
    // flight (operations of several threads run one after the other, first
    // come, first served). No
    // callback is involved. Called on the listener thread (from a receive
    // callback) an operation cannot receive its answer: it fails with its
    // time-out result after 500 ms, or at once while another thread's
    // operation is in flight. The platform's answers carry no request
    // identifier: an operation takes only an answer of its kind (a read or
    // write: for its address); any other answer is passed over, and an
    // operation that got only such answers fails at the end of its 500 ms
    // with -131 (EEPROMGetState: 5). An answer that comes after its own
    // operation gave up (-110, -131) is recognised and dropped; until it
    // came (or the connection was made anew, or 10 s passed), an operation
    // whose answer could not be told from it (the same kind and, for a read
    // or write, the same address) is refused at once with -114
    // (EEPROMGetState: 5) and sends nothing. An operation whose request the
    // platform did not take within 500 ms (held up) fails with -11 at once. Once the platform
    // connection is lost, an operation fails with -107 at once, and one
    // waiting for its answer (also across Shutdown) then stops waiting with
    // -107; an operation begun after Shutdown is refused with -13. Called on
    // the listener thread (from a callback) an operation fails at once with
    // -35 (EEPROMGetState: 5) and sends nothing.
    // Allowed in application mode (mode 0) only.

    // Reads `length` bytes (0 to 1024) at `address` into `data`, which the
    // caller owns and which must hold `length` bytes.
    // Results: the platform's result (0 success, with exactly `length` bytes
    // written to `data`, which is written only then; or its code such as -5,
    // -14, -16); -13 refused in this mode; -22 `data` is null; -110 no answer
    // in time; -131 only answers to other requests came, or the platform
    // reported success for another count of bytes than `length`; -114 an
    // earlier read of `address` that gave up may still be answered; -11 the
    // platform did not take the request; -107 the connection is lost.
    std::int32_t EEPROMRead(std::uint32_t address, unsigned char* data, std::int32_t length);

    // Writes `length` bytes (0 to 1024) from `data` at `address`; `data` is
    // read only during the call.
    // Results: the platform's result (0 success; or its code such as -5,
    // -14, -16); -13 refused in this mode; -22 `data` is null or `length` is
    // outside 0 to 1024; -110 no answer in time; -131 only answers to other
    // requests came, or the platform reported success for another count of
    // bytes than `length`; -114 an earlier write to `address` that gave up
    // may still be answered; -11 the platform did not take the request;
    // -107 the connection is lost.
    std::int32_t EEPROMWrite(std::uint32_t address, const unsigned char* data, std::int32_t length);

    // The platform's state code of the virtual EEPROM, 0 to 5. The state 5 is
    // also returned when there is no valid state to report: refused in this
    // mode, no answer in time, an answer of another kind, a code outside
    // 0 to 5, or an earlier state query that gave up may still be answered.
    std::int32_t EEPROMGetState();

    // Asks the platform to save the virtual EEPROM.
    // Results: the platform's result (0 success; or its code such as -5,
    // -28); -13 refused in this mode; -110 no answer in time; -131 only
    // answers to other requests came; -114 an earlier save that gave up may
    // still be answered; -11 the platform did not take the request; -107 the
    // connection is lost.
    std::int32_t EEPROMSave();

    // Asks the platform to destroy the virtual EEPROM.
    // Results: the platform's result (0 success); -13 refused in this mode;
    // -110 no answer in time; -131 only answers to other requests came; -114
    // an earlier destroy that gave up may still be answered; -11 the
    // platform did not take the request; -107 the connection is lost.
    std::int32_t EEPROMDestroy();

    // --- Plug-in jobs ---
    // For an application initialised in plug-in mode (mode 1); in any other
    // mode the file queries return -13 and the other two do nothing. Every
    // request carries the identifier from the host's getPluginId entry
    // (0 when the host's table has none).

    // Reports the progress of the current job to the platform; no answer is
    // awaited. The library passes the low byte of `state`, `progress` and
    // `value` through unchanged.
    void PluginReportJobProgress(PluginTypes::OperationState state, std::uint8_t progress, std::int32_t value);

    // Fills the caller's `stats` with the platform's two summary values of
    // the file of `mode` (a mode other than 0 or 1 is sent as 2). Blocks the
    // calling thread for at most 800 ms in all, the wait for its turn
    // included while a file query of another thread is in flight. `stats`
    // is written only on success. Called from the job-start notifier (on the
    // listener thread) the query could never receive its answer: it returns
    // -35 at once and sends nothing. A query takes
    // only an answer of its kind (a block: one for the file mode asked for
    // whose Value0 is the `value0` asked for, the offset); any other answer
    // is passed over, and a query that got only such answers fails at the
    // end of its 800 ms with -131. An answer that comes after its own query
    // gave up (-110, -131) is recognised and dropped; until it came (or the
    // connection was made anew, or 10 s passed), a query whose answer could
    // not be told from it is refused at once with -114 and sends nothing,
    // rather than be given the other query's values: any summary query (a
    // summary answer names no query), a block query of the same mode and
    // offset. A query whose request the platform did not take within 500 ms
    // (held up) fails with -11 at once. Once
    // the platform connection is lost, a query returns -107 at once, and one
    // waiting for its answer (also across Shutdown) then stops waiting with
    // -107; a query begun after Shutdown is refused with -13.
    // Results: 0; -13 not in plug-in mode; -22 `stats` is null; -35 called
    // on the listener thread; -110 no
    // answer in time; -131 only answers to other requests came; -114 an
    // earlier summary query's answer may still come; -11 the platform did
    // not take the request; -107 the connection is lost.
    std::int32_t PluginGetFileStats(PluginTypes::FileStats* stats, PluginTypes::FileMode mode);

    // Fills the caller's `data` with a block of the file of `mode`, addressed
    // by the three request values that are passed through to the platform.
    // `Length` is set to the number of content bytes (at most 4096) and only
    // that many bytes of `Data` are written. Blocks as PluginGetFileStats.
    // Results: the platform's result for the block, unchanged (also when
    // negative, such as -2, -5 or -27), with `data` filled; -13 not in
    // plug-in mode; -22 `data` is null; -35 called on the listener thread;
    // -110 no answer in time; -131 only
    // answers to other requests came; -114 an earlier query of the same
    // mode and offset may still be answered; -11 the platform did not take
    // the request; -107 the connection is lost (in these cases `data` is
    // left untouched).
    std::int32_t PluginGetFileData(PluginTypes::FileData* data, PluginTypes::FileMode mode, std::uint32_t value0,
                                   std::uint32_t value1, std::uint32_t value2);

    // Registers the function called when the platform starts a job for this
    // plug-in, replacing an earlier registration; `notifier` and `context`
    // take effect together, and a null `notifier` turns notifications off.
    // The notifier runs on the listener thread with a JobInfo that is valid
    // only during the call. A notification that is already being delivered
    // may still reach the previous notifier after this returns.
    void PluginRegisterJobStartNotifier(PluginTypes::JobStartNotifier notifier, void* context);

private:
    friend class TarvexInterfacePrivate;
    TarvexInterfacePrivate* d;
};

}  // namespace CustomApplication
