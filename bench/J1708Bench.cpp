// J1708 record encoding and decoding, and the receive path per frame: from
// the received child message to the application's callback.
#include <benchmark/benchmark.h>

#include <atomic>
#include <vector>

#include "QRVMessage.h"
#include "common/MessageSink.h"
#include "j1708/J1708.h"
#include "j1708/J1708Record.h"

using CustomApplication::J1708Types::J1708Message;
using CustomApplication::J1708Types::J1708ReceiveTableEntry;
using CustomApplication::J1708Types::J1708TransmitTableEntry;
using PlatformServices::QRVMessage;
using Record = PlatformServices::J1708::J1708Message;

namespace {

void BM_J1708EncodeRow(benchmark::State& state) {
    const std::uint8_t data[20] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20};
    Record record;
    for (auto _ : state) {
        PlatformServices::J1708::EncodeRow(0x80, 3, data, 20, record);
        benchmark::DoNotOptimize(record);
    }
}
BENCHMARK(BM_J1708EncodeRow);

void BM_J1708EncodeMessage(benchmark::State& state) {
    J1708Message message{};
    message.Mid = 0x80;
    message.Length = 19;
    Record record;
    for (auto _ : state) {
        PlatformServices::J1708::EncodeMessage(message, record);
        benchmark::DoNotOptimize(record);
    }
}
BENCHMARK(BM_J1708EncodeMessage);

void BM_J1708Decode(benchmark::State& state) {
    Record record{};
    record.Count = 22;
    record.Frame[0] = 0x80;
    J1708Message message;
    for (auto _ : state) {
        benchmark::DoNotOptimize(PlatformServices::J1708::Decode(record, message));
        benchmark::DoNotOptimize(message);
    }
}
BENCHMARK(BM_J1708Decode);

std::uint64_t calls = 0;
void Count(void*, unsigned char, unsigned char, unsigned char, const unsigned char*, unsigned char) { ++calls; }

// A receive table of range(0) rows (MIDs 0 up), and a frame for MID range(1):
// a row's MID, or one without a row, which goes to the catch-all callback.
void BM_J1708ReceivePath(benchmark::State& state) {
    // The component alone: without a connection nothing is written anywhere.
    CustomApplication::ClientSink sink(nullptr);
    const std::atomic<bool> stopRequested{false};
    CustomApplication::Internal::J1708 j1708(sink, stopRequested);
    std::vector<J1708ReceiveTableEntry> rows(static_cast<std::size_t>(state.range(0)));
    for (std::size_t i = 0; i < rows.size(); ++i) rows[i] = {static_cast<std::uint8_t>(i), &Count, nullptr};
    J1708TransmitTableEntry none[1] = {};
    if (j1708.Init(rows.data(), static_cast<std::int32_t>(rows.size()), none, 0) != 0) {
        state.SkipWithError("J1708Init failed");
        return;
    }
    j1708.RegisterReceiveAllMessages(&Count, nullptr);

    Record record{};
    record.Count = 10;
    record.Frame[0] = static_cast<std::uint8_t>(state.range(1));
    QRVMessage message(QRVMessage::kTypeEnvelope, 20, 100);
    message.NewChildMessage(QRVMessage::kTypeChild)->Build(2, sizeof record, &record, false);
    calls = 0;
    for (auto _ : state) j1708.HandleMessages(message.GetChildMessages());
    if (calls != static_cast<std::uint64_t>(state.iterations())) state.SkipWithError("a frame was not delivered");
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_J1708ReceivePath)->Args({1, 0})->Args({100, 50})->Args({256, 200})->Args({100, 255});

}  // namespace
