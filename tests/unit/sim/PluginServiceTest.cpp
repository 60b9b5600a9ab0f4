#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <fstream>
#include <future>
#include <memory>

#include "services/PluginFiles.h"
#include "SimFixture.h"

namespace {

using namespace simtest;
using namespace gatewaysim;

class PluginServiceTest : public SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        ASSERT_EQ(::mkdir(options_.pluginFolder.c_str(), 0755), 0);
        content_.resize(5000);
        for (std::size_t i = 0; i < content_.size(); ++i) content_[i] = static_cast<std::uint8_t>(i * 7 + i / 256);
        std::ofstream out(options_.pluginFolder + "/mode0.bin", std::ios::binary);
        out.write(reinterpret_cast<const char*>(content_.data()), static_cast<std::streamsize>(content_.size()));
    }
    Bytes DataRequest(std::uint8_t mode, std::uint32_t offset, std::uint32_t wanted) {
        Bytes b(20, 0);
        Put32(b, 0, 42);  // the plug-in's id
        b[4] = mode;
        Put32(b, 8, offset);
        Put32(b, 12, wanted);
        Put32(b, 16, 0xDEADBEEF);  // not used
        return b;
    }
    Bytes Ask(RawApp& app, std::int32_t command, const Bytes& payload) {
        const std::size_t before = app.Of(kCategoryCustomApp, command + 1).size();
        app.Send(kCategoryCustomApp, command, payload);
        const auto replies = app.AwaitCount(kCategoryCustomApp, command + 1, before + 1);
        return replies.size() > before ? replies.back().payload : Bytes{};
    }
    Bytes content_;
};

TEST_F(PluginServiceTest, Crc32IsTheUsualOne) {
    const std::string check = "123456789";
    EXPECT_EQ(Crc32(reinterpret_cast<const std::uint8_t*>(check.data()), check.size()), 0xCBF43926u);
    // Computed in pieces, it comes out the same.
    const std::uint32_t first = Crc32(reinterpret_cast<const std::uint8_t*>(check.data()), 4);
    EXPECT_EQ(Crc32(reinterpret_cast<const std::uint8_t*>(check.data()) + 4, 5, first), 0xCBF43926u);
}

TEST_F(PluginServiceTest, JobsStartAndReportTheirProgress) {
    StartSim();
    RawApp& app = Connect(100);
    const CommandReply started = Run("job 100 1 2 7");
    ASSERT_TRUE(started.ok) << started.text;
    EXPECT_EQ(started.text, "job 1 started\n");
    const auto notices = app.AwaitCount(kCategoryCustomApp, plugin::kCmdJobStart, 1);
    ASSERT_EQ(notices.size(), 1u);
    const Bytes& n = notices[0].payload;
    ASSERT_EQ(n.size(), 12u);
    EXPECT_EQ(Get32(n, 0), 1u);
    EXPECT_EQ(Get32(n, 4), 1u);
    EXPECT_EQ(n[8], 2);
    EXPECT_EQ(n[9], 7);
    EXPECT_FALSE(Run("job 555 0 0 0").ok);

    Bytes progress(12, 0);
    Put32(progress, 0, 42);
    progress[4] = 2;
    progress[5] = 50;
    Put32(progress, 8, static_cast<std::uint32_t>(-3));
    app.Send(kCategoryCustomApp, plugin::kCmdProgress, progress);
    app.Send(kCategoryCustomApp, plugin::kCmdProgress, Bytes(11, 0));
    app.Sync();
    EXPECT_TRUE(AwaitReport("application 100: job progress: plug-in 42, state 2, progress 50, value -3"));
    EXPECT_TRUE(AwaitReport("plug-in command 14 refused: payload of 11 bytes, expected 12"));
    EXPECT_NE(Run("list").text.find("plug-in job 1, last progress: plug-in 42"), std::string::npos);
}

TEST_F(PluginServiceTest, FileSummariesAndBlocksComeFromTheFolder) {
    StartSim();
    RawApp& app = Connect(100);
    Bytes stats = Ask(app, plugin::kCmdFileStats, Bytes{42, 0, 0, 0, 0, 0, 0, 0});
    ASSERT_EQ(stats.size(), 12u);
    EXPECT_EQ(Get32(stats, 0), 42u);
    EXPECT_EQ(Get32(stats, 4), 5000u);
    EXPECT_EQ(Get32(stats, 8), Crc32(content_.data(), content_.size()));
    stats = Ask(app, plugin::kCmdFileStats, Bytes{42, 0, 0, 0, 1, 0, 0, 0});  // no file for mode 1
    EXPECT_EQ(Get32(stats, 4), 0u);
    EXPECT_EQ(Get32(stats, 8), 0u);

    Bytes block = Ask(app, plugin::kCmdFileData, DataRequest(0, 0, 0));
    ASSERT_EQ(block.size(), 4120u);
    EXPECT_EQ(Get32(block, 4), 0u);      // result
    EXPECT_EQ(Get32(block, 12), 0u);     // offset served
    EXPECT_EQ(Get32(block, 16), 5000u);  // file size
    EXPECT_EQ(Get32(block, 20), 4096u);
    EXPECT_EQ(Bytes(block.begin() + 24, block.end()), Bytes(content_.begin(), content_.begin() + 4096));

    block = Ask(app, plugin::kCmdFileData, DataRequest(0, 4096, 9999));
    EXPECT_EQ(Get32(block, 20), 904u);
    EXPECT_EQ(Bytes(block.begin() + 24, block.begin() + 24 + 904), Bytes(content_.begin() + 4096, content_.end()));
    block = Ask(app, plugin::kCmdFileData, DataRequest(0, 10, 3));
    EXPECT_EQ(Get32(block, 20), 3u);
    EXPECT_EQ(Bytes(block.begin() + 24, block.begin() + 27), Bytes(content_.begin() + 10, content_.begin() + 13));
    block = Ask(app, plugin::kCmdFileData, DataRequest(0, 5000, 0));  // the end: nothing, no error
    EXPECT_EQ(Get32(block, 4), 0u);
    EXPECT_EQ(Get32(block, 20), 0u);
    block = Ask(app, plugin::kCmdFileData, DataRequest(0, 5001, 0));
    EXPECT_EQ(static_cast<std::int32_t>(Get32(block, 4)), -EINVAL);
    block = Ask(app, plugin::kCmdFileData, DataRequest(1, 0, 0));
    EXPECT_EQ(static_cast<std::int32_t>(Get32(block, 4)), -ENOENT);
    block = Ask(app, plugin::kCmdFileData, Bytes(19, 0));
    EXPECT_EQ(static_cast<std::int32_t>(Get32(block, 4)), -EINVAL);

    // A malformed summary request cannot be answered without looking like an
    // empty file: it is reported only.
    app.Send(kCategoryCustomApp, plugin::kCmdFileStats, Bytes(9, 0));
    app.Sync();
    EXPECT_EQ(app.Of(kCategoryCustomApp, plugin::kCmdFileStatsReply).size(), 2u);
    EXPECT_TRUE(AwaitReport("plug-in command 15 refused: payload of 9 bytes, expected 8"));
}

TEST_F(PluginServiceTest, ASummaryIsComputedOncePerFileVersionAndHoldsUpNoBus) {
    // The first computation waits until the test lets it go on.
    auto release = std::make_shared<std::promise<void>>();
    std::shared_future<void> released = release->get_future().share();
    auto computed = std::make_shared<std::atomic<int>>(0);
    options_.TEST_summaryComputing = [released, computed] {
        if (computed->fetch_add(1) == 0) (void)released.wait_for(std::chrono::milliseconds(kBoundMs));
    };
    const auto writeFile = [this](const std::string& name, const Bytes& bytes) {
        std::ofstream out(options_.pluginFolder + "/" + name, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    };
    content_.resize(200'000, 0x5C);  // large enough for the summaries' own thread
    writeFile("mode0.bin", content_);
    const Bytes small(16, 0x3D);
    writeFile("mode1.bin", small);
    StartSim();
    RawApp& app = Connect(100);
    const Bytes request{42, 0, 0, 0, 0, 0, 0, 0};
    app.Send(kCategoryCustomApp, plugin::kCmdFileStats, request);
    // While the CRC is being computed, the simulator goes on serving, and a
    // small file's summary does not wait for it.
    app.Sync();
    EXPECT_EQ(Get32(Ask(app, plugin::kCmdFileStats, Bytes{42, 0, 0, 0, 1, 0, 0, 0}), 8),
              Crc32(small.data(), small.size()));
    EXPECT_EQ(app.Of(kCategoryCustomApp, plugin::kCmdFileStatsReply).size(), 1u);
    release->set_value();
    auto replies = app.AwaitCount(kCategoryCustomApp, plugin::kCmdFileStatsReply, 2);
    ASSERT_EQ(replies.size(), 2u);
    EXPECT_EQ(Get32(replies[1].payload, 8), Crc32(content_.data(), content_.size()));

    // The same version again: answered without reading the file again.
    EXPECT_EQ(Get32(Ask(app, plugin::kCmdFileStats, request), 8), Crc32(content_.data(), content_.size()));
    EXPECT_EQ(computed->load(), 1);
    // A new version is summarised anew.
    content_.resize(150'000);
    writeFile("mode0.bin", content_);
    const Bytes stats = Ask(app, plugin::kCmdFileStats, request);
    EXPECT_EQ(Get32(stats, 4), 150'000u);
    EXPECT_EQ(Get32(stats, 8), Crc32(content_.data(), content_.size()));
    EXPECT_EQ(computed->load(), 2);
}

}  // namespace
