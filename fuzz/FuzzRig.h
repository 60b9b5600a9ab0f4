// Thread rule: a fuzz target calls these from libFuzzer's thread only; the
// instance's own listener and service threads run as in an application.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include <customapp/TarvexInterface.h>

#include "TestHost.h"
#include "TestPlatform.h"
#include "core/TestHooks.h"

namespace fuzzrig {

// Categories of the envelopes that the listener dispatches.
constexpr std::int32_t kCategoryCAN = 10;
constexpr std::int32_t kCategoryJ1939 = 13;
constexpr std::int32_t kCategoryJ1708 = 20;
constexpr std::int32_t kCategoryCustomApplications = 22;
constexpr std::int32_t kAddress = 100;

// An instance initialised against the test platform, kept for the whole
// fuzzing run (Init succeeds once per process).
struct Rig {
    testsupport::TestPlatform platform;
    testsupport::TestHost host;
    CustomApplication::TarvexInterface sdk;
};

// Builds the rig on first use: Init in `mode`, then `setUp` registers the
// tables. Aborts when any step fails, since every input would be wasted.
Rig& TheRig(std::int32_t mode, void (*setUp)(Rig&));

// Turns a fuzz input into the payload of an envelope.
//   First byte even: the rest is a list of children, each written as
//     u8 command, u16 little-endian length, that many bytes (a length past
//     the end takes what is left), encoded as the wire format does.
//   First byte odd: the rest is the envelope's payload as it is, so that the
//     child-list parser sees arbitrary bytes too.
std::vector<std::uint8_t> EnvelopePayload(const std::uint8_t* data, std::size_t size);

// Hands one envelope of `category` carrying `payload` to the instance
// exactly as its listener does with a received message.
void Dispatch(Rig& rig, std::int32_t category, const std::vector<std::uint8_t>& payload);

// Reads every byte of a buffer handed to a callback, so that the sanitizer
// sees a read past its end.
void Touch(const void* data, std::size_t length);

}  // namespace fuzzrig
