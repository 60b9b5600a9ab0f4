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
//   help                         the commands
//   quit                         end the simulator (also "exit")
//
// Numbers are decimal or hex with "0x". Blank lines and lines starting with
// '#' do nothing.
struct Command {
    enum class Kind { kNothing, kHelp, kList, kCan, kJ1708, kJob, kTiming, kReplay, kReplayStop, kDrop, kQuit,
                      kJ1939, kReplayStatus };
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
};

// The result of a command.
struct CommandReply {
    bool ok = true;
    std::string text;  // output lines, each ending in '\n', or the reason of a failure
};

bool ParseCommand(std::string_view line, Command* command, std::string* error);

// The command summary that "help" prints.
const char* CommandHelp();

}  // namespace gatewaysim
