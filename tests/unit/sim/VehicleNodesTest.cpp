// Simulated ECUs: what they put on the buses when they start, when they are
// asked, when their faults change and when their signals are set.
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <memory>

#include "SimFixture.h"
#include "SignalDatabase.h"
#include "vehicle/NodeCommand.h"
#include "vehicle/Vehicle.h"

namespace {

using gatewaysim::CanFrame;
using simtest::Bytes;

constexpr const char* kDbc = R"(VERSION ""
BU_: Engine Cluster
BO_ 2364539904 EEC1: 8 Engine
 SG_ EngTorqueMode : 0|4@1+ (1,0) [0|15] "" Cluster
 SG_ EngineSpeed : 24|16@1+ (0.125,0) [0|8031.875] "rpm" Cluster
BO_ 2566852608 LongStatus: 16 Engine
 SG_ Hours : 0|32@1+ (0.05,0) [0|210554060.75] "h" Cluster
BO_ 291 Idle: 2 Engine
 SG_ Level : 0|8@1+ (1,0) [0|255] "" Cluster
BA_DEF_ BO_ "GenMsgCycleTime" INT 0 65535;
BA_DEF_ SG_ "GenSigStartValue" FLOAT -1e10 1e10;
BA_DEF_ BO_ "VFrameFormat" ENUM "StandardCAN","ExtendedCAN","reserved","J1939PG";
BA_ "GenMsgCycleTime" BO_ 2364539904 50;
BA_ "VFrameFormat" BO_ 2364539904 3;
BA_ "VFrameFormat" BO_ 2566852608 3;
BA_ "GenSigStartValue" SG_ 2364539904 EngineSpeed 6400;
VAL_ 2364539904 EngTorqueMode 0 "LowIdle" 1 "AcceleratorPedal" 15 "NotAvailable" ;
)";

class NodesTest : public simtest::SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        TapBuses();
    }

    // Waits until at least `count` carried frames match; returns those that do.
    std::vector<CanFrame> Await(const std::function<bool(const CanFrame&)>& match, std::size_t count = 1,
                                int timeoutMs = simtest::kBoundMs) {
        std::vector<CanFrame> found;
        std::unique_lock<std::mutex> guard(reportLock_);
        reportChanged_.wait_for(guard, std::chrono::milliseconds(timeoutMs), [&] {
            found.clear();
            for (const Carried& c : carried_) {
                if (match(c.frame)) found.push_back(c.frame);
            }
            return found.size() >= count;
        });
        return found;
    }
    static std::function<bool(const CanFrame&)> Id(std::uint32_t id) {
        return [id](const CanFrame& f) { return f.extended && f.id == id; };
    }
    static std::function<bool(const CanFrame&)> Frame(std::uint32_t id, const Bytes& data) {
        return [id, data](const CanFrame& f) {
            return f.extended && f.id == id && Bytes(f.data, f.data + f.length) == data;
        };
    }
    // The transport's frames carry the message's priority: any priority.
    static std::function<bool(const CanFrame&)> AnyPriority(std::uint32_t id) {
        return [id](const CanFrame& f) { return f.extended && (f.id & 0x3FFFFFF) == id; };
    }
    // The data of a BAM from `source` announcing `pgn`, reassembled once
    // all its packets went.
    Bytes AwaitBam(std::uint8_t source, std::uint32_t pgn) {
        Bytes out;
        std::unique_lock<std::mutex> guard(reportLock_);
        reportChanged_.wait_for(guard, std::chrono::milliseconds(simtest::kBoundMs), [&] {
            out.clear();
            std::size_t size = 0;
            bool announced = false;
            for (const Carried& c : carried_) {
                const CanFrame& f = c.frame;
                if ((f.id & 0x3FFFFFF) == (0xECFF00u | source) && f.data[0] == 32 &&
                    (f.data[5] | (f.data[6] << 8) | (f.data[7] << 16)) == static_cast<int>(pgn)) {
                    announced = true;
                    size = f.data[1] | (f.data[2] << 8);
                    out.clear();
                } else if (announced && (f.id & 0x3FFFFFF) == (0xEBFF00u | source) && out.size() < size) {
                    out.insert(out.end(), f.data + 1, f.data + 8);
                }
            }
            if (!announced || out.size() < size) return false;
            out.resize(size);
            return true;
        });
        return out;
    }
    bool Ok(const std::string& line) {
        const gatewaysim::CommandReply reply = Run(line);
        EXPECT_TRUE(reply.ok) << line << ": " << reply.text;
        return reply.ok;
    }
};

TEST_F(NodesTest, ANodeClaimsItsAddressSendsDm1AndDefendsOrLosesIt) {
    StartSim();
    ASSERT_TRUE(Ok("node engine can0 address 00 name 0x100"));
    ASSERT_TRUE(Ok("node brakes can0 address 0B name 0x500"));
    EXPECT_EQ(Await(Frame(0x18EEFF00, {0x00, 0x01, 0, 0, 0, 0, 0, 0})).size(), 1u);
    // Once a second: lamps off and the "no active faults" form.
    EXPECT_GE(Await(Frame(0x18FECA00, {0x00, 0xFF, 0, 0, 0, 0, 0xFF, 0xFF}), 2).size(), 2u);

    // A node with a higher NAME claiming 00 is answered with the node's claim;
    // one with a lower NAME takes 0B, and the brakes fall silent.
    ASSERT_TRUE(Ok("take can0 00 0x200"));
    EXPECT_EQ(Await(Frame(0x18EEFF00, {0x00, 0x01, 0, 0, 0, 0, 0, 0}), 2).size(), 2u);
    ASSERT_TRUE(Ok("take can0 0x0B 0x50"));
    EXPECT_EQ(Await(Frame(0x18EEFFFE, {0x00, 0x05, 0, 0, 0, 0, 0, 0})).size(), 1u);
    const std::string listing = Run("nodes").text;
    EXPECT_NE(listing.find("engine can0 address 00 NAME 0000000000000100: on the bus"), std::string::npos) << listing;
    EXPECT_NE(listing.find("brakes can0 address 0B NAME 0000000000000500: lost its address"), std::string::npos)
        << listing;
    EXPECT_NE(Run("j1939").text.find("node engine"), std::string::npos);
}

TEST_F(NodesTest, RequestsAreAnsweredToTheRequesterNackedOrLeftToOthers) {
    StartSim();
    ASSERT_TRUE(Ok("node engine can0 address 00"));
    ASSERT_TRUE(Ok("ident engine software 1.2"));
    // To the requester (a PDU2 PGN still goes to everyone in one frame).
    ASSERT_TRUE(Ok("can0 18EA00F9#DAFE00"));
    EXPECT_EQ(Await(Frame(0x18FEDA00, {0x01, '1', '.', '2', '*', 0xFF, 0xFF, 0xFF})).size(), 1u);
    // A global request for a PGN it lacks gets nothing; one addressed to
    // it a NACK, sent to everyone with the requester in byte 4.
    ASSERT_TRUE(Ok("can0 18EAFFF9#E5FE00"));
    ASSERT_TRUE(Ok("can0 18EA00F9#E5FE00"));
    const auto acks = Await(Id(0x18E8FF00));
    ASSERT_EQ(acks.size(), 1u);
    EXPECT_EQ(Bytes(acks[0].data, acks[0].data + 8), (Bytes{0x01, 0xFF, 0xFF, 0xFF, 0xF9, 0xE5, 0xFE, 0x00}));
    // A request for another address is not this node's.
    ASSERT_TRUE(Ok("can0 18EA01F9#E5FE00"));
    ASSERT_TRUE(Ok("can0 18EA00F9#E5FE00"));
    EXPECT_EQ(Await(Id(0x18E8FF00), 2).size(), 2u);
}

TEST_F(NodesTest, LongIdentificationsGoByTransport) {
    StartSim();
    ASSERT_TRUE(Ok("node engine can0 address 00"));
    ASSERT_TRUE(Ok("ident engine vin 1XKAD49X0CJ123456"));
    ASSERT_TRUE(Ok("can0 18EAFFF9#ECFE00"));
    const std::string vin = "1XKAD49X0CJ123456*";
    EXPECT_EQ(AwaitBam(0x00, 65260), Bytes(vin.begin(), vin.end()));
    // Asked alone, the node opens a session to the requester.
    ASSERT_TRUE(Ok("can0 18EA00F9#ECFE00"));
    const auto rts = Await(AnyPriority(0xECF900));
    ASSERT_EQ(rts.size(), 1u);
    EXPECT_EQ(Bytes(rts[0].data, rts[0].data + 8), (Bytes{16, 18, 0, 3, 0xFF, 0xEC, 0xFE, 0x00}));
}

TEST_F(NodesTest, Dm1CarriesLampsAndDtcsAndDm11MovesThemToDm2) {
    StartSim();
    ASSERT_TRUE(Ok("node engine can0 address 00"));
    ASSERT_TRUE(Await(Id(0x18FECA00)).size() == 1u);
    // One DTC: a single frame at once. SPN 100, FMI 1, amber lamp.
    ASSERT_TRUE(Ok("dtc engine add 100 1 lamp amber"));
    EXPECT_EQ(Await(Frame(0x18FECA00, {0x04, 0xFF, 100, 0, 0x01, 0x01, 0xFF, 0xFF})).size(), 1u);
    // Two: by BAM. SPN 524287 (19 bits), FMI 31, red lamp flashing, count 5.
    ASSERT_TRUE(Ok("dtc engine add 524287 31 count 5 lamp red flash"));
    EXPECT_EQ(AwaitBam(0x00, 65226), (Bytes{0x14, 0xCF, 100, 0, 0x01, 0x01, 0xFF, 0xFF, 0xFF, 0x05}));

    // DM11 addressed to the node: acknowledged, the DTCs become previously
    // active and DM1 returns to "no active faults".
    ASSERT_TRUE(Ok("can0 18EA00F9#D3FE00"));
    EXPECT_EQ(Await(Frame(0x18E8FF00, {0x00, 0xFF, 0xFF, 0xFF, 0xF9, 0xD3, 0xFE, 0x00})).size(), 1u);
    EXPECT_GE(Await(Frame(0x18FECA00, {0x00, 0xFF, 0, 0, 0, 0, 0xFF, 0xFF}), 2).size(), 2u);
    // DM2 asked globally: to everyone, by BAM, with the lamps now off.
    ASSERT_TRUE(Ok("can0 18EAFFF9#CBFE00"));
    EXPECT_EQ(AwaitBam(0x00, 65227), (Bytes{0x00, 0xFF, 100, 0, 0x01, 0x01, 0xFF, 0xFF, 0xFF, 0x05}));
}

TEST_F(NodesTest, ADbcNodeSendsItsMessagesWithTheSignalsSet) {
    auto db = std::make_shared<signaldb::Database>();
    signaldb::ParseError error;
    ASSERT_TRUE(signaldb::ParseDbc(kDbc, "test.dbc", db.get(), &error)) << error.ToString();
    options_.nodeDatabases.emplace_back(0, db);
    StartSim();
    EXPECT_FALSE(Run("node other can0 address 01 from Brakes").ok);
    ASSERT_TRUE(Ok("node engine can0 address 00 from Engine"));
    // EEC1 every 50 ms from the node's address, the speed at its start value.
    EXPECT_GE(Await(Frame(0x0CF00400, {0, 0, 0, 0x00, 0x19, 0, 0, 0}), 2).size(), 2u);
    ASSERT_TRUE(Ok("set engine.EEC1.EngTorqueMode AcceleratorPedal"));
    ASSERT_TRUE(Ok("ramp engine.EEC1.EngineSpeed 1000 2000 over 200"));
    // The ramp ends at its last value: 2000 rpm.
    EXPECT_GE(Await(Frame(0x0CF00400, {1, 0, 0, 0x80, 0x3E, 0, 0, 0})).size(), 1u);
    EXPECT_FALSE(Run("set engine.EEC1.EngineSpeed fast").ok);
    EXPECT_FALSE(Run("set engine.EEC9.EngineSpeed 1").ok);

    // A message without a cycle time goes on request, by transport when long.
    ASSERT_TRUE(Ok("set engine.LongStatus.Hours 5"));
    ASSERT_TRUE(Ok("can0 18EAFFF9#10FF00"));
    EXPECT_EQ(AwaitBam(0x00, 0xFF10), (Bytes{100, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_NE(Run("nodes").text.find("EEC1 (PGN F004, every 50 ms), LongStatus (PGN FF10, on request), Idle (ID 123"),
              std::string::npos)
        << Run("nodes").text;
}

TEST_F(NodesTest, APausedNodeIsSilentAndClaimsAgainOnResume) {
    StartSim();
    ASSERT_TRUE(Ok("node engine can0 address 00"));
    ASSERT_EQ(Await(Id(0x18EEFF00)).size(), 1u);
    ASSERT_TRUE(Ok("pause engine"));
    EXPECT_NE(Run("nodes").text.find(": paused"), std::string::npos);
    // Paused, it answers nothing: the NACK comes only after the resume.
    ASSERT_TRUE(Ok("can0 18EA00F9#E5FE00"));
    ASSERT_TRUE(Ok("resume engine"));
    EXPECT_EQ(Await(Id(0x18EEFF00), 2).size(), 2u);
    ASSERT_TRUE(Ok("can0 18EA00F9#E5FE00"));
    ASSERT_EQ(Await(Id(0x18E8FF00)).size(), 1u);
    EXPECT_EQ(Await(Id(0x18EEFF00), 2).size(), 2u);
}

TEST_F(NodesTest, WrongNodeCommandsAreRefusedAndChangeNothing) {
    StartSim();
    for (const char* line : {"node engine can5 address 00", "node engine can0 address FE", "node 1x can0 address 00",
                             "node engine can0 address 00 name 12345678901234567", "dtc engine add 524288 1",
                             "dtc engine add 1 32", "dtc engine add 1 1 lamp green", "ramp e.M.S 1 2 over 0",
                             "ident engine serial X"}) {
        EXPECT_FALSE(Run(line).ok) << line;
    }
    EXPECT_EQ(Run("nodes").text, "no nodes\n");
    EXPECT_FALSE(Run("dtc engine clear").ok);  // no such node
    ASSERT_TRUE(Ok("node engine can0 address 00"));
    EXPECT_FALSE(Run("node engine can1 address 05").ok);
    EXPECT_EQ(Run("nodes").text.find("can1"), std::string::npos);

    const std::string path = dir_ + "/vehicle.nodes";
    std::ofstream(path) << "# the engine\nnode engine can0 address 00\n\ndtc engine add 1 1\nlist\n";
    std::vector<gatewaysim::NodeLine> lines;
    std::string error;
    EXPECT_FALSE(gatewaysim::ReadNodesFile(path, &lines, &error));
    EXPECT_EQ(error, path + ":5: not a node command: list");
}

// ECUs powered up together do not send in step: four nodes started in the
// same millisecond keep their cycles but spread their frames, so the bus is
// not handed a burst each time their periods meet.
TEST(Nodes, NodesStartedTogetherSpreadTheirCyclicFrames) {
    struct Link final : gatewaysim::Vehicle::Link {
        std::int64_t now = 0;
        std::map<std::int64_t, int> sentAt;  // frames sent per millisecond
        std::int64_t NowUs() override { return now; }
        void Report(const std::string&) override {}
        bool Claim(std::int32_t, std::uint8_t, std::uint8_t, std::uint64_t) override { return true; }
        void Release(std::int32_t, std::uint8_t, std::uint8_t) override {}
        bool Holds(std::int32_t, std::uint8_t, std::uint8_t) const override { return true; }
        bool Send(std::int32_t, std::uint8_t, const gatewaysim::J1939Header&, const std::uint8_t*,
                  std::size_t) override {
            ++sentAt[now / 1000];
            return true;
        }
        void SendFrame(std::int32_t, const CanFrame&) override { ++sentAt[now / 1000]; }
    } link;
    auto db = std::make_shared<signaldb::Database>();
    signaldb::ParseError error;
    ASSERT_TRUE(signaldb::ParseDbc(kDbc, "test.dbc", db.get(), &error)) << error.ToString();
    gatewaysim::Vehicle vehicle(link, {{-1, db}});
    for (int n = 0; n < 4; ++n) {
        gatewaysim::NodeCommand command;
        command.kind = gatewaysim::NodeCommand::Kind::kNode;
        command.node = "engine" + std::to_string(n);
        command.bus = 0;
        command.address = static_cast<std::uint8_t>(n);
        command.dbcNode = "Engine";
        std::string text;
        ASSERT_TRUE(vehicle.Execute(command, &text)) << text;
    }
    for (; link.now < 1'000'000; link.now += 1000) (void)vehicle.Poll(link.now);
    int total = 0;
    int most = 0;
    for (const auto& each : link.sentAt) {
        total += each.second;
        most = std::max(most, each.second);
    }
    // Each node's DM1 once and its EEC1 every 50 ms.
    EXPECT_EQ(total, 4 * (1 + 20));
    EXPECT_LE(most, 2);
}

}  // namespace
