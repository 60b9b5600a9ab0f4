#include "FuzzRig.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "QRVMessage.h"

namespace fuzzrig {

namespace {
volatile std::uint8_t touched;

void Append32(std::vector<std::uint8_t>& out, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}
}  // namespace

Rig& TheRig(std::int32_t mode, void (*setUp)(Rig&)) {
    static Rig* rig = [&] {
        // Kept until the process ends: libFuzzer leaves through exit().
        static Rig instance;
        const std::int32_t result = instance.sdk.Init(kAddress, instance.host.Table(), mode);
        if (result != 0 || !instance.platform.AwaitClient(kAddress)) {
            std::fprintf(stderr, "fuzz rig: Init failed (%d)\n", static_cast<int>(result));
            std::abort();
        }
        if (setUp != nullptr) setUp(instance);
        return &instance;
    }();
    return *rig;
}

std::vector<std::uint8_t> EnvelopePayload(const std::uint8_t* data, std::size_t size) {
    std::vector<std::uint8_t> payload;
    if (size == 0) return payload;
    if (data[0] & 1) return std::vector<std::uint8_t>(data + 1, data + size);
    std::size_t at = 1;
    while (at + 3 <= size) {
        const std::uint8_t command = data[at];
        std::size_t length = data[at + 1] | (data[at + 2] << 8);
        at += 3;
        if (length > size - at) length = size - at;
        payload.push_back(PlatformServices::QRVMessage::kTypeChild);
        payload.insert(payload.end(), 3, 0);
        Append32(payload, command);
        Append32(payload, static_cast<std::uint32_t>(length));
        payload.insert(payload.end(), data + at, data + at + length);
        at += length;
    }
    return payload;
}

void Dispatch(Rig& rig, std::int32_t category, const std::vector<std::uint8_t>& payload) {
    if (payload.size() > PlatformServices::QRVMessage::kMaxPayloadBytes) return;
    PlatformServices::QRVMessage envelope(PlatformServices::QRVMessage::kTypeEnvelope, category, kAddress);
    // An exact-size heap copy: a read past the payload is a read past the block.
    if (!envelope.Build(category, payload.size(), payload.empty() ? nullptr : payload.data(), false)) return;
    envelope.SetSourceAddress(254);
    CustomApplication::TEST_Dispatch(rig.sdk, envelope);
}

void Touch(const void* data, std::size_t length) {
    if (data == nullptr) return;
    std::uint8_t sum = 0;
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    for (std::size_t i = 0; i < length; ++i) sum = static_cast<std::uint8_t>(sum + bytes[i]);
    touched = sum;
}

}  // namespace fuzzrig
