// The simulated nodes' share of the simulator's worker: 20 ECUs with the
// cyclic messages of a database node, scheduled over simulated time against
// a network that only counts what they send.
#include <benchmark/benchmark.h>

#include <memory>
#include <string>

#include "SignalDatabase.h"
#include "vehicle/Vehicle.h"

namespace {

using gatewaysim::J1939Header;
using gatewaysim::NodeCommand;
using gatewaysim::Vehicle;

class CountingLink final : public Vehicle::Link {
public:
    std::int64_t now = 0;
    std::int64_t sent = 0;
    std::int64_t NowUs() override { return now; }
    void Report(const std::string&) override {}
    bool Claim(std::int32_t, std::uint8_t, std::uint8_t, std::uint64_t) override { return true; }
    void Release(std::int32_t, std::uint8_t, std::uint8_t) override {}
    bool Holds(std::int32_t, std::uint8_t, std::uint8_t) const override { return true; }
    bool Send(std::int32_t, std::uint8_t, const J1939Header&, const std::uint8_t*, std::size_t) override {
        ++sent;
        return true;
    }
    void SendFrame(std::int32_t, const gatewaysim::CanFrame&) override { ++sent; }
};

// One database node with eight messages of 10 to 1000 ms: 198 frames a second.
std::shared_ptr<const signaldb::Database> Database() {
    const int cycles[] = {10, 20, 50, 100, 100, 200, 500, 1000};
    std::string text = "VERSION \"\"\nBU_: Engine\n";
    std::string attributes = "BA_DEF_ BO_ \"GenMsgCycleTime\" INT 0 65535;\n"
                             "BA_DEF_ BO_ \"VFrameFormat\" ENUM \"StandardCAN\",\"ExtendedCAN\",\"reserved\",\"J1939PG\";\n";
    for (int i = 0; i < 8; ++i) {
        const std::string id = std::to_string(0x98FF0000u + (static_cast<unsigned>(i) << 8));
        text += "BO_ " + id + " M" + std::to_string(i) + ": 8 Engine\n";
        text += " SG_ A : 0|16@1+ (0.125,0) [0|8000] \"rpm\" Vector__XXX\n";
        text += " SG_ B : 16|8@1+ (1,-40) [-40|210] \"degC\" Vector__XXX\n";
        attributes += "BA_ \"GenMsgCycleTime\" BO_ " + id + " " + std::to_string(cycles[i]) + ";\n";
        attributes += "BA_ \"VFrameFormat\" BO_ " + id + " 3;\n";
    }
    auto db = std::make_shared<signaldb::Database>();
    signaldb::ParseError error;
    if (!signaldb::ParseDbc(text + attributes, "bench.dbc", db.get(), &error)) return nullptr;
    return db;
}

// One iteration: one simulated second, polled every millisecond as a busy
// worker would.
void BM_TwentyNodesOneSecond(benchmark::State& state) {
    CountingLink link;
    Vehicle vehicle(link, {{-1, Database()}});
    for (int n = 0; n < 20; ++n) {
        NodeCommand command;
        command.kind = NodeCommand::Kind::kNode;
        command.node = "n" + std::to_string(n);
        command.bus = static_cast<std::uint8_t>(n % 5);
        command.address = static_cast<std::uint8_t>(0x10 + n);
        command.dbcNode = "Engine";
        std::string text;
        if (!vehicle.Execute(command, &text)) {
            state.SkipWithError(text.c_str());
            return;
        }
    }
    for (auto _ : state) {
        const std::int64_t end = link.now + 1'000'000;
        for (; link.now < end; link.now += 1000) benchmark::DoNotOptimize(vehicle.Poll(link.now));
    }
    state.counters["frames_per_simulated_s"] =
        benchmark::Counter(static_cast<double>(link.sent) / static_cast<double>(state.iterations()));
}
BENCHMARK(BM_TwentyNodesOneSecond)->Unit(benchmark::kMicrosecond);

}  // namespace
