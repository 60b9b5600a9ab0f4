#include "bus/BusLoad.h"

#include <algorithm>

namespace gatewaysim {

namespace {

constexpr std::int64_t kSecondUs = 1'000'000;

}  // namespace

std::uint32_t CanFrameBits(const CanFrame& frame) {
    const std::uint32_t bytes = frame.remote ? 0 : (frame.length > 8 ? 8 : frame.length);
    return (frame.extended ? 80 : 55) + 10 * bytes;
}

bool BusLoad::Observe(std::uint8_t bus, std::int64_t startUs, std::int64_t endUs) {
    if (bus >= kCanBusCount) return false;
    Window& w = windows_[bus];
    bool rolled = false;
    if (w.startUs < 0) {
        w.startUs = startUs;
    } else if (endUs - w.startUs >= kSecondUs) {
        // The part of the frame before the new second belongs to the old one.
        const std::int64_t oldEnd = w.startUs + kSecondUs;
        w.busyUs += std::max<std::int64_t>(0, oldEnd - std::max(startUs, w.startUs));
        const bool next = endUs - w.startUs < 2 * kSecondUs;
        w.lastBusyUs = next ? w.busyUs : 0;
        w.lastFrames = next ? w.frames : 0;
        w.busyUs = 0;
        w.frames = 0;
        w.startUs += (endUs - w.startUs) / kSecondUs * kSecondUs;
        rolled = true;
    }
    w.busyUs += std::max<std::int64_t>(0, endUs - std::max(startUs, w.startUs));
    ++w.frames;
    return rolled;
}

const BusLoad::Window* BusLoad::LastSecond(std::uint8_t bus, std::int64_t nowUs, bool* current) const {
    if (bus >= kCanBusCount || windows_[bus].startUs < 0) return nullptr;
    const std::int64_t age = nowUs - windows_[bus].startUs;
    if (age >= 2 * kSecondUs) return nullptr;
    *current = age >= kSecondUs;  // the current second is over; no frame has come since
    return &windows_[bus];
}

double BusLoad::LoadPercent(std::uint8_t bus, std::int64_t nowUs) const {
    bool current = false;
    const Window* w = LastSecond(bus, nowUs, &current);
    if (w == nullptr || bitrates_[bus] == kUnlimited) return 0;
    const std::int64_t busy = current ? w->busyUs : w->lastBusyUs;
    return std::min(100.0, 100.0 * static_cast<double>(busy) / kSecondUs);
}

std::uint64_t BusLoad::FramesLastSecond(std::uint8_t bus, std::int64_t nowUs) const {
    bool current = false;
    const Window* w = LastSecond(bus, nowUs, &current);
    if (w == nullptr) return 0;
    return current ? w->frames : w->lastFrames;
}

}  // namespace gatewaysim
