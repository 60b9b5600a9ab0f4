// The DBC reader and the signal codec. The decoding of every signal of the
// test file is checked against canmatrix (an independent decoder) on random
// and edge payloads.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <charconv>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <map>
#include <random>
#include <sstream>

#include "SignalDatabase.h"

namespace signaldb {
namespace {

const std::string kData = SIGNALDB_TEST_DATA;

Database Load(const std::string& name) {
    Database db;
    ParseError error;
    EXPECT_TRUE(LoadDbcFile(kData + "/" + name, &db, &error)) << error.ToString();
    return db;
}

std::vector<std::uint8_t> Bytes(std::initializer_list<int> values) {
    std::vector<std::uint8_t> out;
    for (int v : values) out.push_back(static_cast<std::uint8_t>(v));
    return out;
}

TEST(SignalDatabase, ReadsEveryFeatureOfTheFile) {
    const Database db = Load("vehicle.dbc");
    std::vector<std::string> nodes;
    for (const auto& n : db.nodes()) nodes.push_back(n.name);
    EXPECT_THAT(nodes, testing::ElementsAre("Engine", "Brakes", "Cluster", "Gateway"));
    EXPECT_EQ(db.FindNode("Engine")->comment, "The engine controller");
    EXPECT_EQ(db.messages().size(), 11u);

    const Message* eec1 = db.FindMessage("EEC1");
    ASSERT_NE(eec1, nullptr);
    EXPECT_EQ(eec1->id, 0x0CF00400u);
    EXPECT_TRUE(eec1->extended);
    EXPECT_TRUE(eec1->j1939);
    EXPECT_EQ(eec1->transmitter, "Engine");
    EXPECT_EQ(eec1->cycleTimeMs, 10u);
    const Signal* speed = eec1->FindSignal("EngineSpeed");
    ASSERT_NE(speed, nullptr);
    EXPECT_EQ(speed->unit, "rpm");
    EXPECT_THAT(speed->receivers, testing::ElementsAre("Cluster", "Gateway"));
    EXPECT_EQ(speed->comment, "Actual engine speed,\nacross two lines");
    EXPECT_DOUBLE_EQ(speed->StartPhysical(), 800.0);
    EXPECT_EQ(*eec1->FindSignal("EngTorqueMode")->ValueName(15), "NotAvailable");

    const Message* brakes = db.FindMessage("BrakeStatus");
    ASSERT_NE(brakes, nullptr);
    EXPECT_FALSE(brakes->extended);
    EXPECT_EQ(brakes->comment, "Brake system status, big-endian signals");
    const Signal* angle = brakes->FindSignal("Angle");
    EXPECT_EQ(angle->byteOrder, ByteOrder::kMotorola);
    EXPECT_TRUE(angle->isSigned);
    EXPECT_DOUBLE_EQ(angle->minimum, -1034);
    EXPECT_EQ(*brakes->FindSignal("Gear")->ValueName(15), "Error");  // from VAL_TABLE_

    EXPECT_EQ(db.FindMessage("Floats")->FindSignal("Level")->valueType, ValueType::kFloat);
    EXPECT_EQ(db.FindMessage("Doubles")->FindSignal("Precise")->valueType, ValueType::kDouble);
    EXPECT_FALSE(db.FindMessage("Extended")->j1939);
    EXPECT_FALSE(db.FindMessage("Floats")->cycleTimeMs.has_value());  // default 0: none

    const Message* diag = db.FindMessage("Diagnostics");
    ASSERT_EQ(diag->multiplexor, 0);
    EXPECT_EQ(diag->FindSignal("FuelRate")->mux, Signal::Mux::kMultiplexed);
    EXPECT_EQ(diag->FindSignal("FuelRate")->muxValue, 2u);
    EXPECT_EQ(*diag->FindSignal("Always")->ValueName(0xFF), "MinusOne");  // a signed value by its name
}

TEST(SignalDatabase, MalformedLinesNameTheirPlaceAndWhatWasExpected) {
    struct Case {
        const char* text;
        int line, column;
        const char* expected;
    } cases[] = {
        {"BU_: A\nBO_ 100 M: 8 A\n SG_ S : 0|8@2+ (1,0) [0|1] \"\" A\n", 3, 14, "expected the byte order 0 or 1"},
        {"BO_ 100 M: 8 A\n SG_ S : 0|8@1+ (1,0) [0|1 \"\" A\n", 2, 28, "expected ']'"},
        {"BO_ x M: 8 A\n", 1, 5, "expected a message identifier"},
        {"BO_ 100 M: 8 A\n SG_ S : 0|65@1+ (1,0) [0|1] \"\" A\n", 2, 12, "expected a signal length of 1 to 64"},
        {"CM_ BO_ 100 \"never closed;\n", 2, 1, "expected '\"' closing the string"},
        {"BO_ 100 M: 8 A\nVAL_ 100 S 1 \"One\" 2 ;\n", 2, 22, "expected a value's name in quotes"},
        {"BO_ 60 D: 2000000000 A\n", 1, 11, "expected a message length of 0 to 1785 bytes"},
    };
    for (const auto& c : cases) {
        Database db;
        ParseError error;
        EXPECT_FALSE(ParseDbc(c.text, "bad.dbc", &db, &error)) << c.text;
        EXPECT_EQ(error.file, "bad.dbc");
        EXPECT_EQ(error.line, c.line) << c.text;
        EXPECT_EQ(error.column, c.column) << c.text;
        EXPECT_THAT(error.message, testing::StartsWith(c.expected)) << c.text;
        EXPECT_TRUE(db.messages().empty());
    }
    // Sections not read are skipped, whatever they hold.
    Database db;
    ParseError error;
    EXPECT_TRUE(ParseDbc("BO_ 1 M: 8 A\nSGTYPE_ T : 8@1+ (1,0) [0|1] \"\" 0 ;\nBA_REL_ \"x\" BU_SG_REL_ A SG_ 1 S 3;\n"
                         "FILTER whatever\nBO_ 2 N: 8 A\nBA_ \"GenMsgCycleTime\" 100;\nCM_ BO_ 2 \"kept\";\n",
                         "ok.dbc", &db, &error))
        << error.ToString();
    ASSERT_EQ(db.messages().size(), 2u);
    EXPECT_EQ(db.messages()[1].comment, "kept");
}

TEST(SignalDatabase, J1939MessagesMatchByPgnWhateverAddressAndPriority) {
    const Database db = Load("vehicle.dbc");
    EXPECT_EQ(db.FindMessage(0x0CF00400, true)->name, "EEC1");
    EXPECT_EQ(db.FindMessage(0x18F00431, true)->name, "EEC1");  // other priority and source
    EXPECT_EQ(db.FindMessage(0x18EF2731, true)->name, "PropA");  // PDU1: any destination
    EXPECT_EQ(db.FindPgn(0xFEF1)->name, "CCVS1");
    EXPECT_EQ(db.FindMessage(0x1CDEADBE, true)->name, "Extended");
    EXPECT_EQ(db.FindMessage(0x1CDEAD00, true), nullptr);  // not J1939: exact identifier only
    EXPECT_EQ(db.FindMessage(0x123, true), nullptr);
    EXPECT_EQ(db.FindMessage(0x123, false)->name, "BrakeStatus");

    BusDatabases buses;
    auto all = std::make_shared<Database>(Load("vehicle.dbc"));
    auto own = std::make_shared<Database>();
    ParseError error;
    ASSERT_TRUE(ParseDbc("BO_ 291 Other: 8 X\n", "own.dbc", own.get(), &error));
    buses.Add(BusDatabases::kAllBuses, all);
    buses.Add(2, own);
    EXPECT_EQ(buses.Find(2, 0x123, false)->name, "Other");
    EXPECT_EQ(buses.Find(1, 0x123, false)->name, "BrakeStatus");
    int bus = 0;
    std::string path, reason;
    EXPECT_TRUE(BusDatabases::ParseBusFile("can3:truck.dbc", &bus, &path, &reason));
    EXPECT_EQ(bus, 3);
    EXPECT_EQ(path, "truck.dbc");
    EXPECT_TRUE(BusDatabases::ParseBusFile("c:/truck.dbc", &bus, &path, &reason));
    EXPECT_EQ(bus, BusDatabases::kAllBuses);
    EXPECT_FALSE(BusDatabases::ParseBusFile("can7:truck.dbc", &bus, &path, &reason));
}

TEST(SignalDatabase, EncodesWithClampingRoundingAndNamesAndDecodesBack) {
    const Database db = Load("vehicle.dbc");
    const Message& brakes = *db.FindMessage("BrakeStatus");
    std::vector<std::uint8_t> payload = InitialPayload(brakes);
    EXPECT_EQ(payload, Bytes({0, 0, 0, 0, 0, 0, 0x01, 0}));  // Gear starts at 1

    const Signal& angle = *brakes.FindSignal("Angle");
    ASSERT_TRUE(EncodeSignal(brakes, angle, -20.26, payload.data(), payload.size()));
    // (-20.26 + 10) / 0.5 = -20.52 -> -21 = 0xFEB in 12 bits, Motorola from bit 21.
    EXPECT_EQ(payload[2], 0x3F);
    EXPECT_EQ(payload[3], 0xAC);
    EXPECT_DOUBLE_EQ(*DecodeSignal(brakes, angle, payload.data(), payload.size()), -20.5);
    EncodeSignal(brakes, angle, 1e6, payload.data(), payload.size());  // clamped to the maximum
    EXPECT_DOUBLE_EQ(*DecodeSignal(brakes, angle, payload.data(), payload.size()), 1013.5);
    EXPECT_EQ(angle.ToRaw(-10.25), angle.ToRaw(-10.5));  // -0.5 rounds away from zero

    const Signal& gear = *brakes.FindSignal("Gear");
    EXPECT_EQ(gear.ParseValue("Second"), 2.0);
    EXPECT_EQ(gear.ParseValue("3.5"), 3.5);
    EXPECT_FALSE(gear.ParseValue("Third").has_value());

    // Without a range in the file only the signal's width clamps.
    const Message& wide = *db.FindMessage("WideMotorola");
    std::vector<std::uint8_t> w(8, 0);
    EncodeSignal(wide, wide.signals[0], 1e30, w.data(), w.size());
    EXPECT_EQ(w, Bytes({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
    EncodeSignal(wide, wide.signals[0], 0x0102030405060700, w.data(), w.size());
    EXPECT_EQ(w, Bytes({1, 2, 3, 4, 5, 6, 7, 0}));

    // A multiplexed signal selects itself; the others of its page stay out.
    const Message& diag = *db.FindMessage("Diagnostics");
    std::vector<std::uint8_t> d = InitialPayload(diag);
    EXPECT_EQ(d[0], 2);
    EncodeSignal(diag, *diag.FindSignal("OilTemp"), 90.0, d.data(), d.size());
    std::vector<DecodedSignal> decoded;
    Decode(diag, d.data(), d.size(), &decoded);
    std::vector<std::string> names;
    for (const auto& s : decoded) names.push_back(s.signal->name);
    EXPECT_THAT(names, testing::ElementsAre("Page", "OilTemp", "OilPressure", "Always"));
    EXPECT_DOUBLE_EQ(decoded[1].physical, 90.0);
    EXPECT_FALSE(DecodeSignal(diag, *diag.FindSignal("FuelRate"), d.data(), d.size()).has_value());

    // Signals past the end of a short payload are not carried.
    const Message& longStatus = *db.FindMessage("LongStatus");
    std::vector<std::uint8_t> l(8, 0x11);
    Decode(longStatus, l.data(), l.size(), &decoded);
    ASSERT_EQ(decoded.size(), 1u);
    EXPECT_EQ(decoded[0].signal->name, "Hours");
}

// Every signal of every frame agrees with canmatrix's decoding.
TEST(SignalDatabase, AgreesWithCanmatrix) {
    const std::string dbc = kData + "/vehicle.dbc";
    const Database db = Load("vehicle.dbc");
    std::mt19937 random(31);
    struct Frame {
        std::uint32_t id;
        bool extended;
        std::vector<std::uint8_t> data;
    };
    std::vector<Frame> frames;
    for (const Message& m : db.messages()) {
        for (int i = 0; i < 40; ++i) {
            Frame f{m.id, m.extended, std::vector<std::uint8_t>(m.length)};
            for (auto& b : f.data) b = static_cast<std::uint8_t>(i == 0 ? 0x00 : i == 1 ? 0xFF : random());
            if (m.multiplexor >= 0) f.data[0] = static_cast<std::uint8_t>(i % 4);
            if (m.j1939) f.id = (m.id & 0x03FFFF00u) | (static_cast<std::uint32_t>(i % 8) << 26) | (random() & 0xFF);
            if (m.j1939 && ((m.id >> 16) & 0xFF) < 240) f.id = (f.id & ~0xFF00u) | ((random() & 0xFF) << 8);
            frames.push_back(std::move(f));
        }
    }
    frames.push_back(Frame{0x7FF, false, std::vector<std::uint8_t>(8, 1)});  // no message
    const std::string input = testing::TempDir() + "/signaldb_frames.txt";
    {
        std::ofstream out(input);
        for (const auto& f : frames) {
            char id[16];
            std::snprintf(id, sizeof id, "%X", f.id);
            out << id << ' ' << (f.extended ? 1 : 0) << ' ';
            for (auto b : f.data) {
                char hex[3];
                std::snprintf(hex, sizeof hex, "%02X", b);
                out << hex;
            }
            out << '\n';
        }
    }
    const std::string command = "/usr/bin/python3 " + std::string(SIGNALDB_TEST_SCRIPTS) + "/canmatrix_decode.py " +
                                dbc + " " + input + " 2>/dev/null";
    FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string output;
    char buffer[4096];
    while (std::size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) output.append(buffer, n);
    ASSERT_EQ(pclose(pipe), 0) << "canmatrix (Debian's python3-canmatrix) did not run: " << command;

    // index -> (message, signal) -> value
    std::map<std::size_t, std::map<std::string, double>> theirs;
    std::istringstream lines(output);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::size_t index = 0;
        std::string message, signal, value;
        fields >> index >> message;
        theirs[index];
        if (message == "-") continue;
        fields >> signal >> value;
        theirs[index][message + "." + signal] = std::stod(value);
    }
    ASSERT_EQ(theirs.size(), frames.size());

    std::vector<DecodedSignal> decoded;
    std::size_t compared = 0;
    for (std::size_t i = 0; i < frames.size(); ++i) {
        const Frame& f = frames[i];
        std::map<std::string, double> ours;
        if (const Message* m = db.FindMessage(f.id, f.extended)) {
            Decode(*m, f.data.data(), f.data.size(), &decoded);
            for (const auto& s : decoded) ours[m->name + "." + s.signal->name] = s.physical;
        }
        ASSERT_EQ(ours.size(), theirs[i].size()) << "frame " << i;
        for (const auto& [name, value] : ours) {
            ASSERT_EQ(theirs[i].count(name), 1u) << "frame " << i << " " << name;
            const double expected = theirs[i][name];
            if (std::isnan(expected)) {
                EXPECT_TRUE(std::isnan(value)) << "frame " << i << " " << name;
            } else {
                EXPECT_NEAR(value, expected, std::abs(expected) * 1e-12 + 1e-9) << "frame " << i << " " << name;
            }
            ++compared;
        }
    }
    EXPECT_GT(compared, 800u);
}

}  // namespace
}  // namespace signaldb
