// DBC text: any bytes parse to a database or to an error that names a place
// and what was expected. Every message of a database decodes and encodes
// payloads of its length (and shorter) within their bytes; a signal's raw
// bits written and read back are the same.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "SignalDatabase.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    signaldb::Database db;
    signaldb::ParseError error;
    if (!signaldb::ParseDbc(text, "fuzz.dbc", &db, &error)) {
        if (error.line < 1 || error.column < 1 || error.message.empty() || !db.messages().empty()) __builtin_trap();
        return 0;
    }
    std::vector<signaldb::DecodedSignal> decoded;
    std::size_t budget = 2000;  // signals tried per input, so that huge files stay quick
    for (const signaldb::Message& m : db.messages()) {
        if (db.FindMessage(m.id, m.extended) == nullptr) __builtin_trap();
        const std::size_t length = m.length > 64 ? 64 : m.length;
        std::vector<std::uint8_t> payload = signaldb::InitialPayload(m);
        payload.resize(length);
        for (std::size_t i = 0; i < payload.size(); ++i) payload[i] ^= data[i % size];
        for (std::size_t cut = 0; cut <= payload.size(); cut += 3) {
            signaldb::Decode(m, payload.data(), cut, &decoded);
            for (const auto& d : decoded) {
                if (d.signal->EndByte() > cut) __builtin_trap();
            }
        }
        for (const signaldb::Signal& s : m.signals) {
            if (budget-- == 0) return 0;
            std::uint64_t raw = 0;
            if (!s.Extract(payload.data(), payload.size(), &raw)) continue;
            std::vector<std::uint8_t> copy(payload.size(), 0);
            if (!s.Insert(raw, copy.data(), copy.size())) __builtin_trap();
            std::uint64_t back = 0;
            if (!s.Extract(copy.data(), copy.size(), &back) || back != raw) __builtin_trap();
            const double physical = s.ToPhysical(raw);
            const std::uint64_t again = s.ToRaw(physical);
            if (s.length < 64 && (again >> s.length) != 0) __builtin_trap();
            signaldb::EncodeSignal(m, s, physical, copy.data(), copy.size());
            (void)signaldb::FormatPhysical(s, physical);
        }
    }
    return 0;
}
