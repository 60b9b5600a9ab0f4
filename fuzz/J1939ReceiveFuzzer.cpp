// J1939 received-message records and CA-list replies (category 13) through
// the listener's dispatch into an application with two controller
// applications, receive rows of every subscription mode and a catch-all.
#include <cstdint>
#include <mutex>
#include <vector>

#include "FuzzRig.h"

namespace {

using namespace CustomApplication;

void Received(void*, CoreTypes::CANBus bus, unsigned int, unsigned char, unsigned char, unsigned char,
              const unsigned char* data, unsigned short length) {
    if (bus < CoreTypes::CANBus0 || bus > CoreTypes::CANBus4) __builtin_trap();
    fuzzrig::Touch(data, length);
}

// The platform's side of CA creation: list requests are answered with the
// CAs created so far, static-list requests with one CA on bus 1.
struct Answers {
    std::mutex lock;
    std::vector<std::uint8_t> created;
};

void Answer(Answers& answers, testsupport::TestPlatform& platform, const testsupport::TestPlatform::Message& m) {
    if (m.category != fuzzrig::kCategoryJ1939) return;
    for (const auto& child : m.children) {
        std::vector<std::uint8_t> reply;
        std::int32_t command = 0;
        {
            std::lock_guard<std::mutex> guard(answers.lock);
            if (child.command == 6 && child.payload.size() >= 2) {
                answers.created.insert(answers.created.end(), child.payload.begin(), child.payload.begin() + 2);
            }
            if (child.command != 0 || child.payload.size() != 2) continue;
            const int request = child.payload[0] | (child.payload[1] << 8);
            if (request == 10) {
                command = 10;
                reply = answers.created;
            } else if (request == 12) {
                command = 12;
                reply = {1, 0x90};
            } else {
                continue;
            }
        }
        platform.Send(fuzzrig::kAddress, fuzzrig::kCategoryJ1939, command, reply);
    }
}

void SetUp(fuzzrig::Rig& rig) {
    static Answers answers;
    rig.platform.SetObserver([&platform = rig.platform](const testsupport::TestPlatform::Message& m) {
        Answer(answers, platform, m);
    });
    J1939Types::J1939Name name{1, 2, 3, 4, 0x12345, 0x2ab, 0x81, 5, 6};
    J1939Types::J1939ReceiveTableEntry rows[] = {
        {0xFEF1, 0, 0, &Received, nullptr},
        {0, 0x17, 1, &Received, nullptr},
        {0xEA00, 0x20, 2, &Received, nullptr},
        {0xFECA, 0, 0, nullptr, nullptr},
    };
    const std::uint8_t payload[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    J1939Types::J1939TransmitTableEntry transmit[] = {{payload, 8, 0xFEF2, 0, 6, 0xFF}};
    const std::int32_t first = rig.sdk.J1939CreateCA(CoreTypes::CANBus0, 0x80, &name, rows, 4, transmit, 1);
    const std::int32_t second = rig.sdk.J1939AttachToPlatformCA(CoreTypes::CANBus1, rows, 4, transmit, 1);
    if (first <= 0 || second <= 0) __builtin_trap();
    if (rig.sdk.J1939RegisterReceiveAllMessages(first, &Received, nullptr) != 0) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzzrig::Rig& rig = fuzzrig::TheRig(0, &SetUp);
    fuzzrig::Dispatch(rig, fuzzrig::kCategoryJ1939, fuzzrig::EnvelopePayload(data, size));
    return 0;
}
