// Thread rule: every function may be called from any thread.
#pragma once

#include <cstdint>
#include <string>

namespace examples {

// Prints one line to standard output, whole and flushed, whatever thread
// calls it (printf format).
void Say(const char* format, ...) __attribute__((format(printf, 1, 2)));

// "01 02 FF": the bytes in hex.
std::string Hex(const unsigned char* data, std::size_t length);

// Reads the run time in seconds from argv[index] (default when absent).
// Exits with a usage message when it is not a number from 1 to 86400.
int SecondsArgument(int argc, char** argv, int index, int fallback, const char* usage);

// Waits `seconds` for SIGINT or SIGTERM; false when the time ran out, true
// when a signal ended the wait early. BlockStopSignals must have been called
// before any thread was started, so that no thread takes the signals.
void BlockStopSignals();
bool WaitForStopSignal(int seconds);
// Whether SIGINT or SIGTERM is pending (blocked by BlockStopSignals); takes it.
bool StopSignalPending();

}  // namespace examples
