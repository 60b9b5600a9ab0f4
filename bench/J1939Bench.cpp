// J1939 reception and transmission of one instance, against a platform that
// answers CA-list requests and otherwise discards what it receives.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "IPCClient.h"
#include "IPCServer.h"
#include "TestHost.h"
#include "core/TarvexInterfacePrivate.h"

using CustomApplication::TarvexInterface;
using CustomApplication::TarvexInterfacePrivate;
using CustomApplication::CoreTypes::CANBus;
namespace J1939IPC = PlatformServices::J1939IPC;

namespace {

constexpr std::int32_t kAddress = 139;

void CountDelivery(void* context, CANBus, unsigned int, unsigned char, unsigned char, unsigned char,
                   const unsigned char*, unsigned short) {
    ++*static_cast<std::int64_t*>(context);
}

// One instance, set up once per process. Init succeeds once per process and
// other benchmarks may need it, so the instance is connected directly.
class J1939Bench {
public:
    static J1939Bench& Get() {
        static J1939Bench* bench = new J1939Bench();  // lives until the process ends
        return *bench;
    }

    TarvexInterfacePrivate& d() { return *TarvexInterfacePrivate::TEST_Of(sdk_); }
    // The uid of the CA on bus 1, 2 or 3 with 1, 100 or 1000 receive rows.
    std::int32_t CAWithRows(std::int64_t rows) const { return rows == 1 ? uids_[0] : rows == 100 ? uids_[1] : uids_[2]; }
    std::int64_t delivered = 0;

private:
    J1939Bench() : server_(254) {
        char pattern[] = "/tmp/customapp-bench-XXXXXX";
        if (mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
        path_ = std::string(pattern) + "/gatrel";
        server_.SetMessageHandler([this](std::int32_t source, std::unique_ptr<PlatformServices::QRVMessage> message) {
            Answer(source, *message);
        });
        if (server_.Start(path_) != 0) throw std::runtime_error("cannot listen");
        setenv(PlatformServices::kEndpointEnvVar, path_.c_str(), 1);

        TarvexInterfacePrivate& p = d();
        if (p.Init(host_.Table(), TarvexInterfacePrivate::ApplicationMode) != 0) throw std::runtime_error("init");
        p.j1939.Reset();
        if (p.Connect(kAddress) != 0) throw std::runtime_error("connect");

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
            uids_[i] = p.J1939CreateCA(static_cast<CANBus>(i + 1), 0x80, &name, rx.data(),
                                       static_cast<int>(rx.size()), tx, 1, false);
            if (uids_[i] <= 0) throw std::runtime_error("creation failed");
        }
    }

    // Answers requests for the CAs present; everything else is dropped.
    void Answer(std::int32_t source, PlatformServices::QRVMessage& message) {
        if (message.GetCommand() != J1939IPC::kCategory || !message.ParseChildMessages()) return;
        for (const auto& child : message.GetChildMessages()) {
            if (child->GetCommand() == J1939IPC::CommandCreateController && child->GetLength() >= 2) {
                present_.insert(present_.end(), child->GetData(), child->GetData() + 2);
            } else if (child->GetCommand() == J1939IPC::CommandRequest && child->GetLength() == 2 &&
                       child->GetData()[0] == J1939IPC::kRequestCAList) {
                PlatformServices::QRVMessage reply(PlatformServices::QRVMessage::kTypeEnvelope, J1939IPC::kCategory,
                                                   source);
                reply.NewChildMessage(PlatformServices::QRVMessage::kTypeChild)
                    ->Build(J1939IPC::CommandCAList, present_.size(), present_.data(), false);
                server_.Write(source, reply);
            }
        }
    }

    PlatformServices::IPCServer server_;
    std::string path_;
    std::vector<std::uint8_t> present_;  // touched by the server's thread only
    testsupport::TestHost host_;
    TarvexInterface sdk_;
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
        bench.d().J1939Receive(&record);
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
        bench.d().J1939IPCHandler(children, 254);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_J1939ReceiveFromHandler);

// A 1785-byte row sent on request: payload copy, encoding and the socket write.
void BM_J1939Send1785(benchmark::State& state) {
    J1939Bench& bench = J1939Bench::Get();
    const std::int32_t uid = bench.CAWithRows(1);
    for (auto _ : state) {
        benchmark::DoNotOptimize(bench.d().J1939SendMessage(uid, 0));
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * 1785);
}
BENCHMARK(BM_J1939Send1785);

}  // namespace
