#include "bus/BusLoad.h"

namespace gatewaysim {

namespace {

constexpr std::int64_t kSecondUs = 1'000'000;

}  // namespace

std::uint32_t CanFrameBits(const CanFrame& frame) {
    const std::uint32_t bytes = frame.remote ? 0 : (frame.length > 8 ? 8 : frame.length);
    return (frame.extended ? 80 : 55) + 10 * bytes;
}

bool BusLoad::Observe(const CanFrame& frame, std::int64_t nowUs) {
    if (frame.bus >= kCanBusCount) return false;
    Window& w = windows_[frame.bus];
    bool rolled = false;
    if (w.startUs < 0) {
        w.startUs = nowUs;
    } else if (nowUs - w.startUs >= kSecondUs) {
        w.lastBits = nowUs - w.startUs < 2 * kSecondUs ? w.bits : 0;
        w.bits = 0;
        w.startUs += (nowUs - w.startUs) / kSecondUs * kSecondUs;
        rolled = true;
    }
    w.bits += CanFrameBits(frame);
    return rolled;
}

double BusLoad::LoadPercent(std::uint8_t bus, std::int64_t nowUs) const {
    if (bus >= kCanBusCount) return 0;
    const Window& w = windows_[bus];
    std::uint64_t bits = 0;
    if (w.startUs >= 0) {
        const std::int64_t age = nowUs - w.startUs;
        if (age < kSecondUs) {
            bits = w.lastBits;
        } else if (age < 2 * kSecondUs) {
            bits = w.bits;  // the current second is over; no frame has come since
        }
    }
    return 100.0 * static_cast<double>(bits) / static_cast<double>(bitrates_[bus]);
}

}  // namespace gatewaysim
