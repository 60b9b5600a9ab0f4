// The receive path of one CAN frame: from the child message, as the listener
// hands it over, to the callback of the matching row.
#include <benchmark/benchmark.h>

#include <atomic>
#include <vector>

#include "QRVMessage.h"
#include "can/CAN.h"
#include "can/CANIPC.h"
#include "common/MessageSink.h"

using CustomApplication::CANTypes::CANReceiveTableEntry;
using CustomApplication::CANTypes::CANTransmitTableEntry;
using CustomApplication::CANTypes::Extended;
using CustomApplication::CANTypes::FrameType;
using CustomApplication::CoreTypes::CANBus;
using PlatformServices::QRVMessage;

namespace {

constexpr std::uint32_t kFirstIdentifier = 0x18F00000;
constexpr std::uint32_t kStep = 8;

void Count(void* context, CANBus, unsigned int, FrameType, const unsigned char* data, unsigned char length) {
    benchmark::DoNotOptimize(data[length - 1]);
    ++*static_cast<std::int64_t*>(context);
}

// `rows` extended rows that each take one identifier. With `distinctMasks`
// every row's mask also ignores one of the identifier bits that all rows and
// frames share, which changes no match but makes many distinct masks.
void ReceivePath(benchmark::State& state, bool distinctMasks) {
    const int rows = static_cast<int>(state.range(0));
    const bool hit = state.range(1) != 0;
    std::int64_t calls = 0;
    std::vector<CANReceiveTableEntry> table;
    for (int i = 0; i < rows; ++i) {
        const std::uint32_t mask = distinctMasks ? ~(1u << (20 + i % 12)) & 0x1FFFFFFF : 0x1FFFFFFF;
        table.push_back({kFirstIdentifier + kStep * static_cast<std::uint32_t>(i), mask, Extended, &Count, &calls});
    }
    CANTransmitTableEntry none[1] = {};
    // The component alone: without a connection the subscriptions go nowhere.
    CustomApplication::ClientSink sink(nullptr);
    const std::atomic<bool> stopRequested{false};
    CustomApplication::Internal::CAN can(sink, stopRequested);
    if (can.Create(CANBus(1), table.data(), rows, none, 0) != 1) {
        state.SkipWithError("CANInit failed");
        return;
    }

    PlatformServices::CANIPC::Message record{};
    record.Identifier = hit ? table[static_cast<std::size_t>(rows / 2)].Identifier : kFirstIdentifier + 3;
    record.Extended = 1;
    record.Bus = 1;
    record.Length = 8;
    QRVMessage message(QRVMessage::kTypeEnvelope, 10, 100);
    message.NewChildMessage(QRVMessage::kTypeChild)->Build(1, sizeof record, &record, false);

    for (auto _ : state) can.HandleMessages(message.GetChildMessages());

    if (calls != (hit ? static_cast<std::int64_t>(state.iterations()) : 0)) state.SkipWithError("wrong deliveries");
    state.SetItemsProcessed(state.iterations());
}

void BM_CANReceive(benchmark::State& state) { ReceivePath(state, false); }
BENCHMARK(BM_CANReceive)->ArgNames({"rows", "match"})->ArgsProduct({{1, 100, 2000}, {1, 0}});

// The same with more distinct masks than the index groups: rows are scanned.
void BM_CANReceiveScanned(benchmark::State& state) { ReceivePath(state, true); }
BENCHMARK(BM_CANReceiveScanned)->ArgNames({"rows", "match"})->ArgsProduct({{100, 2000}, {1, 0}});

}  // namespace
