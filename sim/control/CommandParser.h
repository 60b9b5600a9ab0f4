// Thread rule: pure functions; safe from any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "bus/Frames.h"

namespace gatewaysim {

// One operator command, as typed at the prompt or sent through the control
// socket (one command per line):
//
//   canN ID#DATA                 put a CAN frame on bus N (also "cansend canN ID#DATA")
//   j1708 MID#DATA[*CK]          put a J1708 frame on the bus
//   job ADDRESS MODE BUS PARAM   start a plug-in job for an application
//   list                         applications, subscriptions, CAs, EEPROMs (also "apps")
//   timing                       cyclic frames, their periods and drifts
//   j1939                        address tables and transport sessions of the buses
//   replay FILE [fast] [loop[=N]] [skip-gaps] [NAME=canN ...]
//                                replay a log (with its timing, or as fast as possible;
//                                N times, or until stopped; not waiting for gaps over 10 s;
//                                the log's interface NAME onto bus N, other interfaces skipped)
//   replay stop                  end the replay in progress
//   replay                       the replay's status
//   drop ADDRESS                 disconnect an application
//   stall ADDRESS|all MS         faults on demand (see FaultCommand); "faults"
//   delay SERVICE MS             lists those in force, "clear" ends them all
//   withhold SERVICE [COUNT]
//   eeprom ADDRESS fail read|write|save|off
//   restart
//   take canN ADDRESS [NAME]
//   silence canN MS
//   help                         the commands
//   quit                         end the simulator (also "exit")
//
// Numbers are decimal or hex with "0x". Blank lines and lines starting with
// '#' do nothing.
// A platform fault on demand.
struct FaultCommand {
    enum class Kind { kStall, kDelay, kWithhold, kEepromFail, kRestart, kTake, kSilence, kList, kClear };
    // The services whose answers can be delayed or withheld.
    enum class Service { kEeprom, kJ1939, kPlugin };
    // The EEPROM operation that fails; kNone ends the failure ("off").
    enum class Operation { kNone, kRead, kWrite, kSave };
    Kind kind = Kind::kList;
    std::int32_t address = 0;   // stall (0: every application), eeprom; take: the J1939 address
    std::uint8_t bus = 0;       // take, silence
    std::int64_t ms = 0;        // stall, delay (0 ends it), silence
    std::int64_t count = -1;    // withhold: -1 until cleared
    Service service = Service::kEeprom;
    Operation operation = Operation::kNone;
    std::uint64_t name = 0;     // take
};

struct Command {
    enum class Kind { kNothing, kHelp, kList, kCan, kJ1708, kJob, kTiming, kReplay, kReplayStop, kDrop, kQuit,
                      kJ1939, kReplayStatus, kFault };
    Kind kind = Kind::kNothing;
    CanFrame can;
    J1708Frame j1708;
    std::int32_t address = 0;    // job, drop
    std::uint32_t mode = 0;      // job
    std::uint8_t bus = 0;        // job
    std::uint8_t parameter = 0;  // job
    std::string path;            // replay
    bool fast = false;           // replay
    int passes = 1;              // replay: 0 until stopped
    bool skipGaps = false;       // replay
    std::vector<std::pair<std::string, std::uint8_t>> mapping;  // replay: interface name, bus
    FaultCommand fault;          // fault
};

// The result of a command.
struct CommandReply {
    bool ok = true;
    std::string text;  // output lines, each ending in '\n', or the reason of a failure
};

bool ParseCommand(std::string_view line, Command* command, std::string* error);

// The name of a service of FaultCommand, as the commands write it.
const char* ServiceName(FaultCommand::Service service);

// The command summary that "help" prints.
const char* CommandHelp();

}  // namespace gatewaysim
