// signaldb_bench: the signal database's decoding rate on a log of frames
// against a DBC of many messages, and its allocations once warm.
//
//     signaldb_bench [--messages N] [--frames N] [--out DIR]
//
// Writes DIR/bench.dbc (N messages: Intel and Motorola signals crossing
// bytes, signed, float, multiplexed, J1939 PGNs matched whatever the source
// address) and DIR/bench-frames.txt (one frame a line, "ID EXTENDED HEX", the
// input of bench/python/canmatrix_decode_rate.py), then decodes every frame:
// the message is looked up and every signal it carries decoded to its
// physical value. One pass warms up, the next is timed.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <new>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "SignalDatabase.h"

// ---- allocation counter: every operator new is counted ----
namespace {
std::size_t gAllocations = 0;
}  // namespace

void* operator new(std::size_t size) {
    ++gAllocations;
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    ++gAllocations;
    return std::malloc(size == 0 ? 1 : size);
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept { return operator new(size, tag); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace {

struct Frame {
    std::uint32_t id;
    bool extended;
    std::uint8_t length;
    std::uint8_t data[8];
};

// A DBC of `count` messages, a quarter each: Intel standard frames,
// Motorola standard frames, multiplexed, J1939 PGNs.
std::string MakeDbc(int count) {
    std::ostringstream dbc;
    dbc << "VERSION \"\"\n\nNS_ :\n\tCM_\n\tBA_DEF_\n\nBS_:\n\nBU_: Ecu Gateway\n\n";
    std::vector<std::uint32_t> j1939;
    for (int m = 0; m < count; ++m) {
        const int kind = m % 4;
        std::uint32_t fileId;
        if (kind == 3) {
            // PGNs FF00 + n (PDU2), sent with source address 0x21 in the file.
            fileId = 0x80000000u | (6u << 26) | ((0xFF00u + static_cast<std::uint32_t>(m / 4)) << 8) | 0x21u;
            j1939.push_back(fileId);
        } else {
            fileId = 0x100u + static_cast<std::uint32_t>(m);
        }
        dbc << "BO_ " << fileId << " Message" << m << ": 8 Ecu\n";
        if (kind == 0) {
            dbc << " SG_ Speed" << m << " : 0|16@1+ (0.125,0) [0|8031.875] \"rpm\" Gateway\n"
                << " SG_ Torque" << m << " : 16|8@1+ (1,-125) [-125|125] \"%\" Gateway\n"
                << " SG_ Cross" << m << " : 29|10@1- (0.5,0) [-256|255.5] \"deg\" Gateway\n"
                << " SG_ Mode" << m << " : 39|3@1+ (1,0) [0|7] \"\" Gateway\n"
                << " SG_ Level" << m << " : 42|12@1+ (0.1,-40) [-40|369.5] \"degC\" Gateway\n"
                << " SG_ Flag" << m << " : 54|2@1+ (1,0) [0|3] \"\" Gateway\n"
                << " SG_ Count" << m << " : 56|8@1+ (1,0) [0|255] \"\" Gateway\n";
        } else if (kind == 1) {
            dbc << " SG_ Pressure" << m << " : 7|16@0+ (0.1,0) [0|6553.5] \"bar\" Gateway\n"
                << " SG_ Angle" << m << " : 21|12@0- (0.5,-10) [-1034|1013.5] \"deg\" Gateway\n"
                << " SG_ Wear" << m << " : 35|10@0+ (1,0) [0|1023] \"%\" Gateway\n"
                << " SG_ Ratio" << m << " : 32|32@1- (1,0) [0|0] \"\" Gateway\n";
        } else if (kind == 2) {
            dbc << " SG_ Page" << m << " M : 0|8@1+ (1,0) [0|255] \"\" Gateway\n"
                << " SG_ OilTemp" << m << " m1 : 8|16@1+ (0.03125,-273) [-273|1735] \"degC\" Gateway\n"
                << " SG_ OilPressure" << m << " m1 : 24|8@1+ (4,0) [0|1000] \"kPa\" Gateway\n"
                << " SG_ FuelRate" << m << " m2 : 8|16@1+ (0.05,0) [0|3212.75] \"L/h\" Gateway\n"
                << " SG_ Lamp" << m << " m2 : 31|2@0+ (1,0) [0|3] \"\" Gateway\n"
                << " SG_ Always" << m << " : 56|8@1- (1,0) [-128|127] \"\" Gateway\n";
        } else {
            dbc << " SG_ EngineSpeed" << m << " : 24|16@1+ (0.125,0) [0|8031.875] \"rpm\" Gateway\n"
                << " SG_ TorqueMode" << m << " : 0|4@1+ (1,0) [0|15] \"\" Gateway\n"
                << " SG_ Demand" << m << " : 8|8@1+ (1,-125) [-125|125] \"%\" Gateway\n"
                << " SG_ Starter" << m << " : 48|4@1+ (1,0) [0|15] \"\" Gateway\n"
                << " SG_ Source" << m << " : 56|8@1+ (1,0) [0|255] \"\" Gateway\n";
        }
        dbc << "\n";
    }
    dbc << "BA_DEF_ BO_ \"VFrameFormat\" ENUM \"StandardCAN\",\"ExtendedCAN\",\"reserved\",\"J1939PG\";\n"
        << "BA_DEF_DEF_ \"VFrameFormat\" \"StandardCAN\";\n";
    for (std::uint32_t id : j1939) dbc << "BA_ \"VFrameFormat\" BO_ " << id << " 3;\n";
    for (int m = 1; m < count; m += 4) dbc << "SIG_VALTYPE_ " << 0x100 + m << " Ratio" << m << " : 1;\n";
    dbc << "VAL_ " << 0x100 << " Mode0 0 \"Off\" 1 \"On\" 7 \"NotAvailable\" ;\n";
    return dbc.str();
}

}  // namespace

int main(int argc, char** argv) {
    int messages = 200;
    long frames = 1000000;
    std::string out = ".";
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--messages") == 0) {
            messages = std::atoi(argv[i + 1]);
        } else if (std::strcmp(argv[i], "--frames") == 0) {
            frames = std::atol(argv[i + 1]);
        } else if (std::strcmp(argv[i], "--out") == 0) {
            out = argv[i + 1];
        } else {
            std::fprintf(stderr, "usage: signaldb_bench [--messages N] [--frames N] [--out DIR]\n");
            return 2;
        }
    }
    if (messages < 4 || frames < 1) return 2;

    const std::string text = MakeDbc(messages);
    std::ofstream(out + "/bench.dbc") << text;
    signaldb::Database db;
    signaldb::ParseError error;
    if (!signaldb::ParseDbc(text, "bench.dbc", &db, &error)) {
        std::fprintf(stderr, "%s\n", error.ToString().c_str());
        return 1;
    }

    // The log: random messages, random payloads; J1939 frames from random
    // source addresses and priorities; multiplexors on their pages.
    std::mt19937 random(1939);
    std::vector<Frame> log(static_cast<std::size_t>(frames));
    {
        std::ofstream file(out + "/bench-frames.txt");
        char line[64];
        for (auto& f : log) {
            const signaldb::Message& m = db.messages()[random() % db.messages().size()];
            f.id = m.id;
            f.extended = m.extended;
            if (m.j1939) f.id = (m.id & 0x03FFFF00u) | ((random() % 8) << 26) | (random() & 0xFF);
            f.length = 8;
            for (auto& b : f.data) b = static_cast<std::uint8_t>(random());
            if (m.multiplexor >= 0) f.data[0] = static_cast<std::uint8_t>(random() % 3);
            int n = std::snprintf(line, sizeof line, "%X %d ", f.id, f.extended ? 1 : 0);
            for (auto b : f.data) n += std::snprintf(line + n, sizeof line - static_cast<std::size_t>(n), "%02X", b);
            file << line << '\n';
        }
    }

    std::vector<signaldb::DecodedSignal> decoded;
    double sum = 0;
    std::size_t signals = 0;
    const auto pass = [&] {
        for (const auto& f : log) {
            const signaldb::Message* m = db.FindMessage(f.id, f.extended);
            if (m == nullptr) continue;
            signaldb::Decode(*m, f.data, f.length, &decoded);
            for (const auto& d : decoded) sum += d.physical == d.physical ? d.physical : 0;  // NaN floats left out
            signals += decoded.size();
        }
    };
    pass();  // warm: the result vector reaches its size
    signals = 0;
    const std::size_t allocationsBefore = gAllocations;
    const auto start = std::chrono::steady_clock::now();
    pass();
    const auto end = std::chrono::steady_clock::now();
    const std::size_t allocations = gAllocations - allocationsBefore;
    const double seconds = std::chrono::duration<double>(end - start).count();
    std::printf("signaldb: %ld frames of %d messages decoded in %.3f s: %.0f frames/s, %zu signals, "
                "%zu allocations once warm (checksum %.6g)\n",
                frames, messages, seconds, static_cast<double>(frames) / seconds, signals, allocations, sum);
    return allocations == 0 ? 0 : 1;
}
