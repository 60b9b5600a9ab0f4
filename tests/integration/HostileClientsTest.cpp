// The simulator against hostile local clients: idle connections to the
// endpoint and to the control socket, and applications with large EEPROMs
// coming and going, while a real application connects and is served.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "../unit/sim/SimFixture.h"
#include "Harness.h"

namespace integration {
namespace {

#ifndef CUSTOMAPP_RESIDENT_SIZE_NOT_OURS
constexpr std::size_t kEepromBytes = 16u * 1024u * 1024u;
#else
// Under a sanitizer the memory bound is not checked (below), and every byte
// of a large EEPROM costs many times its native time: a smaller one keeps
// the run of 100 applications well within the test's time.
constexpr std::size_t kEepromBytes = 1024u * 1024u;
#endif
constexpr int kIdleConnections = 1000;
constexpr int kIdleControlClients = 100;
constexpr int kTransientApplications = 100;
// Of those, every kWriterEvery-th writes its EEPROM: every other of these
// saves it, the rest leave with the bytes unsaved.
constexpr int kWriterEvery = 25;

long ResidentKiB(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    }
    return -1;
}

int ConnectTo(const std::string& path) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0) return fd;
    if (fd >= 0) ::close(fd);
    return -1;
}

simtest::Bytes EepromRequest(std::uint32_t address, std::uint32_t count, const simtest::Bytes& data = {}) {
    simtest::Bytes b(8, 0);
    simtest::Put32(b, 0, address);
    simtest::Put32(b, 4, count);
    if (!data.empty()) {
        b.resize(gatewaysim::eeprom::kWriteRequestBytes, 0);
        std::copy(data.begin(), data.end(), b.begin() + 8);
    }
    return b;
}

TEST(HostileClients, LeaveARealApplicationServedAndTheMemoryBounded) {
    rlimit files{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &files), 0);
    if (files.rlim_max < 2 * kIdleConnections) GTEST_SKIP() << "too few descriptors allowed";
    files.rlim_cur = files.rlim_max;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &files), 0);

    TempFolder folder;
    Simulator sim(folder);
    ASSERT_TRUE(sim.Start({"--eeprom-size", std::to_string(kEepromBytes)}));
    const long baselineKiB = ResidentKiB(sim.Proc().Pid());

    std::vector<int> idle;
    for (int i = 0; i < kIdleConnections; ++i) idle.push_back(ConnectTo(sim.Endpoint()));
    for (int i = 0; i < kIdleControlClients; ++i) idle.push_back(ConnectTo(folder / "control"));
    EXPECT_EQ(std::count(idle.begin(), idle.end(), -1), 0);  // every one of them got in

    Peer app(sim.Endpoint(), 200);
    ASSERT_EQ(app.InitResult(), 0);
    EXPECT_NE(sim.Command("list").find("application 200"), std::string::npos);

    long peakKiB = 0;
    using gatewaysim::kCategoryCustomApp;
    namespace eeprom = gatewaysim::eeprom;
    for (int i = 0; i < kTransientApplications; ++i) {
        simtest::RawApp transient(sim.Endpoint(), 300 + i);
        const bool writer = i % kWriterEvery == 0;
        if (writer) {
            transient.Send(kCategoryCustomApp, eeprom::kCmdWrite, EepromRequest(0, 1, {0x42}));
            if (i % (2 * kWriterEvery) == 0) transient.Send(kCategoryCustomApp, eeprom::kCmdSave, {});
        }
        transient.Send(kCategoryCustomApp, eeprom::kCmdRead, EepromRequest(kEepromBytes - 4, 4));
        ASSERT_EQ(transient.AwaitCount(kCategoryCustomApp, eeprom::kCmdRead + 1, 1).size(), 1u) << i;
        transient.Close();
        peakKiB = std::max(peakKiB, ResidentKiB(sim.Proc().Pid()));
    }

    // The real application is served throughout.
    EXPECT_EQ(app.Run("ee-write 0 0102"), "0");
    EXPECT_EQ(app.Run("ee-save"), "0");
    EXPECT_EQ(app.Run("ee-read 0 2"), "0 0102");
    // Only its EEPROM stays in memory; the unsaved ones of the others wait on disk.
    const int unsaved = (kTransientApplications + kWriterEvery - 1) / kWriterEvery / 2;
    EXPECT_TRUE(sim.AwaitList([&](const std::string& list) {
        return list.find("EEPROMs: 1 in memory (" + std::to_string(kEepromBytes) + " bytes), " +
                         std::to_string(unsaved) + " put aside on disk") != std::string::npos;
    })) << sim.Command("list");
    peakKiB = std::max(peakKiB, ResidentKiB(sim.Proc().Pid()));
    std::printf("resident: %ld KiB at start, %ld KiB at most\n", baselineKiB, peakKiB);
    // Bound: four EEPROMs above the start (the real application's, one
    // loading, one being saved or put aside, one being freed), however many
    // applications came and went.
#ifndef CUSTOMAPP_RESIDENT_SIZE_NOT_OURS
    constexpr long kBoundKiB = 4 * static_cast<long>(kEepromBytes / 1024);
    EXPECT_LE(peakKiB - baselineKiB, kBoundKiB);
#endif
    for (const int fd : idle) {
        if (fd >= 0) ::close(fd);
    }
    EXPECT_EQ(app.Quit(), 0);
    EXPECT_EQ(sim.Stop(), 0);
}

}  // namespace
}  // namespace integration
