// J1939 reception and transmission of the component, against a platform that
// discards what it receives.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "IPCClient.h"
#include "IPCServer.h"
#include "common/MessageSink.h"
#include "j1939/J1939.h"

using CustomApplication::CoreTypes::CANBus;
using CustomApplication::Internal::J1939;
namespace J1939IPC = PlatformServices::J1939IPC;

namespace {

constexpr std::int32_t kAddress = 139;

void CountDelivery(void* context, CANBus, unsigned int, unsigned char, unsigned char, unsigned char,
                   const unsigned char*, unsigned short) {
    ++*static_cast<std::int64_t*>(context);
}

// The J1939 component over a real platform connection, set up once per
// process. Nothing reads the connection: the sink writes through it and
// answers the component's CA-list requests itself, as the platform would.
class J1939Bench {
public:
    static J1939Bench& Get() {
        static J1939Bench* bench = new J1939Bench();  // lives until the process ends
        return *bench;
    }

    J1939& j1939() { return j1939_; }
    // The uid of the CA on bus 1, 2 or 3 with 1, 100 or 1000 receive rows.
    std::int32_t CAWithRows(std::int64_t rows) const { return rows == 1 ? uids_[0] : rows == 100 ? uids_[1] : uids_[2]; }
    std::int64_t delivered = 0;

private:
    class AnsweringSink final : public CustomApplication::MessageSink {
    public:
        explicit AnsweringSink(J1939Bench& bench) : bench_(bench) {}
        int Send(std::int32_t category, std::int32_t address, std::int32_t command, const void* data,
                 std::size_t length) override {
            const int result =
                CustomApplication::SendThroughClient(&bench_.client_, category, address, command, data, length);
            const auto* bytes = static_cast<const std::uint8_t*>(data);
            if (command == J1939IPC::CommandCreateController && length >= 2) {
                present_.insert(present_.end(), bytes, bytes + 2);
            } else if (command == J1939IPC::CommandRequest && length == 2 && bytes[0] == J1939IPC::kRequestCAList) {
                PlatformServices::QRVMessage::ChildList children;
                children.push_back(std::make_unique<PlatformServices::QRVMessage>(
                    PlatformServices::QRVMessage::kTypeChild, 0, 0));
                children.back()->Build(J1939IPC::CommandCAList, present_.size(), present_.data(), false);
                bench_.j1939_.HandleMessages(children);
            }
            return result;
        }
        bool Connected() const override { return bench_.client_.IsActive(); }

    private:
        J1939Bench& bench_;
        std::vector<std::uint8_t> present_;  // the CAs created so far
    };

    J1939Bench() : server_(254) {
        char pattern[] = "/tmp/customapp-bench-XXXXXX";
        if (mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
        path_ = std::string(pattern) + "/gatrel";
        server_.SetMessageHandler([](std::int32_t, std::unique_ptr<PlatformServices::QRVMessage>) {});
        if (server_.Start(path_) != 0) throw std::runtime_error("cannot listen");
        setenv(PlatformServices::kEndpointEnvVar, path_.c_str(), 1);
        if (client_.Connect(path_.c_str()) != 0 || client_.RegisterAddress(kAddress) <= 0) {
            throw std::runtime_error("connect");
        }

        const std::int64_t sizes[] = {1, 100, 1000};
        for (int i = 0; i < 3; ++i) {
            std::vector<CustomApplication::J1939Types::J1939ReceiveTableEntry> rx;
            for (std::int64_t row = 0; row < sizes[i]; ++row) {
                rx.push_back({static_cast<std::uint32_t>(0xF000 + row), 0, 0, &CountDelivery, &delivered});
            }
            const std::vector<std::uint8_t> payload(1785, 0x5a);
            CustomApplication::J1939Types::J1939TransmitTableEntry tx[1] = {
                {payload.data(), 1785, 0xFEF1, 0, 6, 0xff}};
            CustomApplication::J1939Types::J1939Name name{};
            uids_[i] = j1939_.Create(static_cast<CANBus>(i + 1), 0x80, &name, rx.data(), static_cast<int>(rx.size()),
                                     tx, 1, false);
            if (uids_[i] <= 0) throw std::runtime_error("creation failed");
        }
    }

    PlatformServices::IPCServer server_;
    std::string path_;
    PlatformServices::IPCClient client_;
    AnsweringSink sink_{*this};
    std::atomic<bool> stopRequested_{false};
    J1939 j1939_{sink_, stopRequested_};
    std::int32_t uids_[3] = {};
};

// One received message to a CA with 1, 100 or 1,000 receive rows; one row matches.
void BM_J1939Receive(benchmark::State& state) {
    J1939Bench& bench = J1939Bench::Get();
    const std::int64_t rows = state.range(0);
    J1939IPC::J1939ReceiveMessageIPC record{};
    record.Bus = static_cast<std::uint8_t>(rows == 1 ? 1 : rows == 100 ? 2 : 3);
    record.SourceAddress = 0x20;
    record.DestinationAddress = 0x80;
    record.Priority = 6;
    record.PGN = static_cast<std::uint32_t>(0xF000 + rows / 2);
    record.Length = 8;
    const std::int64_t before = bench.delivered;
    for (auto _ : state) {
        bench.j1939().Receive(&record);
    }
    if (bench.delivered - before != static_cast<std::int64_t>(state.iterations())) {
        state.SkipWithError("a message was not delivered");
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_J1939Receive)->Arg(1)->Arg(100)->Arg(1000);

// The same through the handler: the record is copied out of the message first.
void BM_J1939ReceiveFromHandler(benchmark::State& state) {
    J1939Bench& bench = J1939Bench::Get();
    std::vector<std::uint8_t> payload(12 + 8, 0);
    payload[0] = 3;
    payload[1] = 0x20;
    payload[2] = 0x80;
    const std::uint32_t pgn = 0xF000 + 500;
    std::memcpy(&payload[4], &pgn, 4);
    payload[8] = 8;
    PlatformServices::QRVMessage::ChildList children;
    children.push_back(std::make_unique<PlatformServices::QRVMessage>(PlatformServices::QRVMessage::kTypeChild, 0, 0));
    children.back()->Build(J1939IPC::CommandReceivedMessage, payload.size(), payload.data(), false);
    for (auto _ : state) {
        bench.j1939().HandleMessages(children);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_J1939ReceiveFromHandler);

// A 1785-byte row sent on request: payload copy, encoding and the socket write.
void BM_J1939Send1785(benchmark::State& state) {
    J1939Bench& bench = J1939Bench::Get();
    const std::int32_t uid = bench.CAWithRows(1);
    for (auto _ : state) {
        benchmark::DoNotOptimize(bench.j1939().SendMessage(uid, 0));
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * 1785);
}
BENCHMARK(BM_J1939Send1785);

}  // namespace
