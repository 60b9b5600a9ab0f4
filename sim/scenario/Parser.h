// Thread rule: pure functions over plain values; safe from any thread.
#pragma once

#include <cstdint>
#include <istream>
#include <string>
#include <vector>

#include "scenario/Matcher.h"
#include "SignalDatabase.h"

namespace gatewaysim {

// One line of a scenario file. The grammar is in sim/README.md; a new
// statement kind is a Kind, a parse function in Parser.cpp's table and a
// case in the runner.
struct Statement {
    enum class Kind {
        kCommand,        // an operator command, as at the prompt
        kStart,          // start PROGRAM [ARGUMENTS]
        kStop,           // stop PROGRAM
        kWait,           // wait MS
        kWaitConnected,  // wait connected ADDRESS [MS]
        kCan,            // expect can ...
        kNoCan,          // expect no can ...
        kJ1939,          // expect j1939 ...
        kNoJ1939,        // expect no j1939 ...
        kPeriod,         // expect period ...
        kConnected,      // expect connected ADDRESS [within MS]
        kGone,           // expect gone ADDRESS [within MS]
        kExit,           // expect exit PROGRAM [CODE] [within MS]
        kRunning,        // expect running PROGRAM
        kOutput,         // expect output PROGRAM TEXT [within MS]
        kEeprom,         // expect eeprom ADDRESS OFFSET HEX [saved] [within MS]
        kWaitSubscribed, // wait subscribed ADDRESS canN ID [MS]
        kEvery,          // every MS canN FRAME [for MS]
        kStopEvery,      // stop every [canN FRAME]
        kCase,           // case NAME ... end: the test case `block`
        kSignal,         // expect signal [canN] MESSAGE.SIGNAL OP VALUE [from SA] within MS
        kDtc,            // expect dtc [canN] [from SA] SPN FMI [lamp L] | none within MS
    };
    Kind kind = Kind::kCommand;
    int line = 0;
    std::string text;               // the line as written, without surrounding blanks
    std::vector<std::string> argv;  // start: PROGRAM and its arguments; stop, exit, running: PROGRAM
    std::int64_t ms = 0;            // the window, or the wait
    std::int32_t address = 0;       // wait connected, connected, gone; a frame's sender when fromApplication
    bool fromApplication = false;
    std::uint8_t bus = 0;
    FramePattern frame;             // can, no can, period
    std::int64_t times = -1;        // -1: at least once
    J1939Pattern j1939;             // j1939, no j1939
    DataPattern data;               // eeprom
    // period
    std::int64_t periodMs = 0;
    std::int64_t tolerancePercent = 0;
    // exit: -1 for any exit status
    int exitCode = -1;
    // every: the frame sent (an operator command), its period; `ms` is how
    // long (0: until the end or `stop every`). wait subscribed: `id`.
    std::string command;            // every, stop every; output: the TEXT
    std::int64_t everyMs = 0;
    std::uint32_t id = 0;
    bool extended = false;
    // eeprom: the offset (`data` holds the bytes); saved: what is on disk,
    // else what the platform holds
    std::int64_t offset = 0;
    bool saved = false;
    // case: the index of its block in Script::cases
    std::size_t block = 0;
    // signal, dtc: any bus when false (else `bus`); the sender is j1939.source
    bool busGiven = false;
    SignalCondition signal;  // signal
    DtcPattern dtc;          // dtc

    // True for the statements that give a verdict line.
    bool IsExpectation() const;
};

// Statements in a block: a test case (`case NAME` ... `end`), or the
// `setup` / `teardown` run around each case.
struct Block {
    std::string name;
    int line = 0;
    std::vector<Statement> statements;
};

// A whole file: the statements outside blocks in their order, a kCase
// statement standing where each case was written.
struct Script {
    std::vector<Statement> statements;
    Block setup;
    Block teardown;
    std::vector<Block> cases;
};

struct ParseError {
    int line = 0;
    std::string reason;  // what the line should have been
};

// Parses a whole file: every line that is not blank or a comment is a
// statement. Every parse error is reported, each with its line; the
// script is of use only when there is none.
Script ParseScenario(std::istream& in, std::vector<ParseError>* errors);

// Finds the message and the signal of every `expect signal` of the script
// in the signal databases (the bus's files, or any file when the statement
// names no bus) and reads its values, numbers or value names of the signal.
// Each statement that cannot be resolved is an error of its line; without
// databases every one is.
void ResolveSignals(Script* script, const signaldb::BusDatabases* databases, std::vector<ParseError>* errors);

// Splits a line into words as a shell does: blanks separate words (every
// whitespace character is a blank), double and single quotes group, a
// backslash takes the next character as it is (inside double quotes only
// before '"', '\\', '$' and '`'). False with a reason for an open quote.
bool SplitWords(const std::string& line, std::vector<std::string>* words, std::string* error);

// The one rule for numbers: decimal, or hex with "0x". A J1939 address, a
// PGN, an identifier and data are hex, with or without "0x".
bool ParseNumber(const std::string& text, std::int64_t max, std::int64_t* value);
bool ParseHex(const std::string& text, std::uint64_t max, std::uint64_t* value);

}  // namespace gatewaysim
