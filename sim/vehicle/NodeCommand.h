// Thread rule: pure functions; safe from any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace gatewaysim {

// One command about the simulated ECUs (nodes) of the vehicle:
//
//   node NAME canN address SA [name HEX-NAME] [from DBC-NODE]
//   nodes
//   set NODE.MESSAGE.SIGNAL VALUE
//   ramp NODE.MESSAGE.SIGNAL FROM TO over MS
//   pause NODE | resume NODE
//   ident NODE vin|software|component TEXT
//   dtc NODE add SPN FMI [count N] [lamp mil|red|amber|protect [flash]] ...
//   dtc NODE clear
//
// SA and HEX-NAME are hex (with or without "0x"), like every J1939 address.
struct NodeCommand {
    enum class Kind { kNode, kNodes, kSet, kRamp, kPause, kResume, kIdent, kDtcAdd, kDtcClear };
    // The lamps of a DTC, as bits.
    enum Lamp : unsigned { kMil = 1u << 0, kRed = 1u << 1, kAmber = 1u << 2, kProtect = 1u << 3 };

    Kind kind = Kind::kNodes;
    std::string node;             // every kind but kNodes
    // node
    std::uint8_t bus = 0;
    std::uint8_t address = 0;
    bool hasName = false;
    std::uint64_t name = 0;
    std::string dbcNode;          // empty: none
    // set, ramp
    std::string message;
    std::string signal;
    std::string value;            // set: a number or a named value
    double from = 0;              // ramp
    double to = 0;
    std::int64_t ms = 0;
    // ident
    std::uint32_t pgn = 0;        // 65260, 65242 or 65259
    std::string text;
    // dtc add
    std::uint32_t spn = 0;        // 19 bits
    std::uint8_t fmi = 0;         // 0 to 31
    int count = -1;               // -1: one more occurrence
    unsigned lamps = 0;           // Lamp bits
    unsigned flashing = 0;        // Lamp bits that flash
};

// True for the verbs of NodeCommand.
bool IsNodeVerb(std::string_view verb);

// Parses a command whose first word IsNodeVerb; `words` are the line's words
// (views into `line`).
bool ParseNodeCommand(std::string_view line, const std::vector<std::string_view>& words, NodeCommand* command,
                      std::string* error);

// One line of a nodes file, with its number.
struct NodeLine {
    int number = 0;
    NodeCommand command;
};

// Reads a file of node commands (blank lines and lines starting with '#'
// do nothing). False, with "FILE:LINE: reason" or the file's error in
// `*error`, when it cannot be read or a line is not a node command.
bool ReadNodesFile(const std::string& path, std::vector<NodeLine>* lines, std::string* error);

}  // namespace gatewaysim
