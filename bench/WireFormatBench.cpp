// Encoding and decoding of the platform wire format.
#include <benchmark/benchmark.h>

#include <vector>

#include "QRVMessage.h"

using PlatformServices::QRVMessage;

namespace {

std::vector<std::uint8_t> Frame(std::size_t payloadBytes) {
    QRVMessage message(QRVMessage::kTypeEnvelope, 10, 100);
    std::vector<std::uint8_t> payload(payloadBytes, 0x5a);
    message.NewChildMessage(QRVMessage::kTypeChild)->Build(1, payload.size(), payload.data(), false);
    std::vector<std::uint8_t> bytes;
    message.Serialize(bytes);
    return bytes;
}

void BM_SerializeEnvelope(benchmark::State& state) {
    std::vector<std::uint8_t> payload(static_cast<std::size_t>(state.range(0)), 0x5a);
    std::vector<std::uint8_t> bytes;
    for (auto _ : state) {
        QRVMessage message(QRVMessage::kTypeEnvelope, 10, 254);
        message.NewChildMessage(QRVMessage::kTypeChild)->Build(4, payload.size(), payload.data(), false);
        bytes.clear();
        benchmark::DoNotOptimize(message.Serialize(bytes));
    }
}
BENCHMARK(BM_SerializeEnvelope)->Arg(16)->Arg(1805);

void BM_ParseFrameAndChildren(benchmark::State& state) {
    const auto bytes = Frame(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        std::unique_ptr<QRVMessage> message;
        std::size_t used = 0;
        QRVMessage::ParseFrame(bytes.data(), bytes.size(), &message, &used);
        message->ParseChildMessages();
        benchmark::DoNotOptimize(message->GetChildMessages().front()->GetData());
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ParseFrameAndChildren)->Arg(16)->Arg(1805);

// The same into one message object received into again, as the listener's
// recycled batches do: no allocation once the storage has grown.
void BM_ParseFrameIntoReused(benchmark::State& state) {
    const auto bytes = Frame(static_cast<std::size_t>(state.range(0)));
    QRVMessage message(QRVMessage::kTypeEnvelope, 0, 0);
    for (auto _ : state) {
        std::size_t used = 0;
        QRVMessage::ParseFrameInto(bytes.data(), bytes.size(), &message, &used);
        message.ParseChildMessages();
        benchmark::DoNotOptimize(message.GetChildMessages().front()->GetData());
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ParseFrameIntoReused)->Arg(16)->Arg(1805);

}  // namespace
