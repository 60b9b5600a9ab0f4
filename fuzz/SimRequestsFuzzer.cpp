// Requests of a hostile application to the simulator, in any category,
// order, payload and length: the simulator runs in this process with its
// real endpoint; for each input the hostile application connects, sends
// its envelopes and leaves, and then a well-behaved application must still
// be answered.
//
// Input: records of one byte choosing the category (CAN, J1939, J1708, the
// custom-application service, or an unknown one), a little-endian u16
// length and that many bytes, which fuzzrig::EnvelopePayload turns into the
// envelope's payload (a list of children, or raw bytes).
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "FuzzRig.h"
#include "IPCClient.h"
#include "Simulator.h"

namespace {

using PlatformServices::IPCClient;
using PlatformServices::MessageBatch;
using PlatformServices::QRVMessage;

constexpr std::int32_t kHostile = 100;
constexpr std::int32_t kWellBehaved = 200;
constexpr std::int32_t kCategories[] = {10, 13, 20, 22, 99};
constexpr int kBoundMs = 10'000;

void Send(IPCClient& client, std::int32_t category, const std::vector<std::uint8_t>& payload) {
    if (payload.size() > QRVMessage::kMaxPayloadBytes) return;
    QRVMessage message(QRVMessage::kTypeEnvelope, category, 1);
    message.Build(category, payload.size(), payload.data(), false);
    client.Write(message);  // the simulator may have dropped it already
}

struct Setting {
    gatewaysim::Simulator* simulator = nullptr;
    std::string endpoint;
    IPCClient good;

    Setting() {
        char folder[] = "/tmp/fuzz-sim.XXXXXX";
        if (::mkdtemp(folder) == nullptr) std::abort();
        gatewaysim::SimulatorOptions options;
        endpoint = std::string(folder) + "/endpoint";
        options.endpoint = endpoint;
        options.dataFolder = std::string(folder) + "/data";
        options.pluginFolder = options.dataFolder + "/plugin-files";
        options.report = [](const std::string&) {};
        // Kept for the whole run: its threads outlive every input.
        simulator = new gatewaysim::Simulator(options);
        std::string error;
        if (simulator->Start(&error) != 0) std::abort();
        if (good.Connect(endpoint.c_str()) != 0 || good.RegisterAddress(kWellBehaved) <= 0) std::abort();
        // It takes every frame of bus 0.
        const std::uint8_t subscription[4 + 12] = {0, 2, 12, 0};  // command 2: bus 0, identifier 0, mask 0
        Send(good, 10, fuzzrig::EnvelopePayload(subscription, sizeof(subscription)));
    }

    // The well-behaved application asks for its EEPROM's state and must get
    // the answer, after whatever frames the hostile one put on the bus.
    void CheckServed() {
        const std::uint8_t state[4] = {0, 5, 0, 0};  // command 5, no payload
        Send(good, 22, fuzzrig::EnvelopePayload(state, sizeof(state)));
        MessageBatch batch;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kBoundMs);
        for (;;) {
            if (std::chrono::steady_clock::now() > deadline) __builtin_trap();  // not served
            if (good.Read(batch) <= 0) __builtin_trap();
            for (const auto& message : batch) {
                if (message->GetCommand() == 22 && message->ParseChildMessages() &&
                    message->GetChildMessages().size() == 1 && message->GetChildMessages()[0]->GetCommand() == 6) {
                    good.Recycle(batch);
                    return;
                }
            }
            good.Recycle(batch);
        }
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Setting s;
    {
        // The simulator may not have seen the last input's application go
        // yet, and refuses its address until it has: try again, bounded.
        std::unique_ptr<IPCClient> client;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kBoundMs);
        for (;;) {
            client = std::make_unique<IPCClient>();
            if (client->Connect(s.endpoint.c_str()) == 0 && client->RegisterAddress(kHostile) > 0) break;
            if (std::chrono::steady_clock::now() > deadline) __builtin_trap();
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        IPCClient& hostile = *client;
        std::size_t at = 0;
        while (at + 3 <= size) {
            const std::int32_t category = kCategories[data[at] % 5];
            std::size_t length = data[at + 1] | (std::size_t{data[at + 2]} << 8);
            at += 3;
            if (length > size - at) length = size - at;
            Send(hostile, category, fuzzrig::EnvelopePayload(data + at, length));
            at += length;
        }
    }  // the hostile application leaves
    s.CheckServed();
    return 0;
}
