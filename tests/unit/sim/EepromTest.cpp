#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <fstream>
#include <iterator>

#include "services/EepromService.h"
#include "services/EepromStore.h"
#include "SimFixture.h"

namespace {

using namespace simtest;
using namespace gatewaysim;

Bytes ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

bool Exists(const std::string& path) {
    struct stat status;
    return ::lstat(path.c_str(), &status) == 0;
}

class EepromStoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/gateway-sim-eeprom-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir_ = pattern;
        path_ = dir_ + "/eeprom-7.bin";
    }
    void TearDown() override {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
    std::string dir_;
    std::string path_;
};

TEST_F(EepromStoreTest, SaveReplacesTheFileWholeAndLeavesNoTemporaryFile) {
    EepromStore store(path_, 64);
    ASSERT_EQ(store.Load(), 0);
    EXPECT_EQ(store.GetState(), EepromStore::kBlank);
    // A temporary file from a save cut short by a crash is never read.
    WriteFile(path_ + ".tmp", Bytes(64, 0x11));
    ASSERT_EQ(store.Load(), 0);
    EXPECT_EQ(store.GetState(), EepromStore::kBlank);

    const Bytes data{1, 2, 3, 4};
    ASSERT_EQ(store.Write(60, 4, data.data()), 0);
    EXPECT_EQ(store.GetState(), EepromStore::kModified);
    ASSERT_EQ(store.Save(), 0);
    EXPECT_EQ(store.GetState(), EepromStore::kSaved);
    Bytes expected(64, 0xFF);
    std::copy(data.begin(), data.end(), expected.begin() + 60);
    EXPECT_EQ(ReadFile(path_), expected);
    EXPECT_FALSE(Exists(path_ + ".tmp"));

    EepromStore reloaded(path_, 64);
    ASSERT_EQ(reloaded.Load(), 0);
    EXPECT_EQ(reloaded.GetState(), EepromStore::kSaved);
    Bytes back(4);
    ASSERT_EQ(reloaded.Read(60, 4, back.data()), 0);
    EXPECT_EQ(back, data);
}

TEST_F(EepromStoreTest, AFailedSaveKeepsTheOldFileAndSaysSo) {
    EepromStore store(path_, 16);
    ASSERT_EQ(store.Load(), 0);
    const Bytes first(16, 0xA1);
    ASSERT_EQ(store.Write(0, 16, first.data()), 0);
    ASSERT_EQ(store.Save(), 0);

    // Something stands where the temporary file goes: the save cannot start.
    ASSERT_EQ(::mkdir((path_ + ".tmp").c_str(), 0755), 0);
    const Bytes second(16, 0xB2);
    ASSERT_EQ(store.Write(0, 16, second.data()), 0);
    EXPECT_EQ(store.Save(), -EISDIR);
    EXPECT_EQ(store.GetState(), EepromStore::kSaveFailed);
    EXPECT_EQ(ReadFile(path_), first);
    Bytes memory(16);
    ASSERT_EQ(store.Read(0, 16, memory.data()), 0);
    EXPECT_EQ(memory, second);  // the bytes are kept for the next try

    ASSERT_EQ(::rmdir((path_ + ".tmp").c_str()), 0);
    EXPECT_EQ(store.Save(), 0);
    EXPECT_EQ(ReadFile(path_), second);
}

// A small change goes through the journal into the file in place; a save
// cut short after the journal reached the disk is completed when the file
// is loaded, and a torn journal leaves the file's bytes.
TEST_F(EepromStoreTest, ASmallChangeIsSavedInPlaceAndACutShortSaveIsCompletedOnLoad) {
    constexpr std::size_t kSize = 64 * 1024;
    EepromStore store(path_, kSize);
    ASSERT_EQ(store.Load(), 0);
    const Bytes first(1024, 0x11);
    ASSERT_EQ(store.Write(0, 1024, first.data()), 0);
    ASSERT_EQ(store.Save(), 0);
    const Bytes before = ReadFile(path_);
    struct stat wholeSave;
    ASSERT_EQ(::stat(path_.c_str(), &wholeSave), 0);

    const Bytes second(1024, 0x22);
    ASSERT_EQ(store.Write(40'000, 1024, second.data()), 0);  // crosses a page boundary
    ASSERT_EQ(store.Save(), 0);
    EXPECT_EQ(store.GetState(), EepromStore::kSaved);
    Bytes after = before;
    std::copy(second.begin(), second.end(), after.begin() + 40'000);
    EXPECT_EQ(ReadFile(path_), after);
    struct stat inPlace;
    ASSERT_EQ(::stat(path_.c_str(), &inPlace), 0);
    EXPECT_EQ(inPlace.st_ino, wholeSave.st_ino);  // not written anew
    EXPECT_LT(ReadFile(path_ + ".journal").size(), 3 * 4096u);

    // The journal on the disk, the file not yet touched.
    WriteFile(path_, before);
    EepromStore completed(path_, kSize);
    ASSERT_EQ(completed.Load(), 0);
    EXPECT_EQ(completed.GetState(), EepromStore::kSaved);
    Bytes memory(1024);
    ASSERT_EQ(completed.Read(40'000, 1024, memory.data()), 0);
    EXPECT_EQ(memory, second);
    ASSERT_EQ(completed.Save(), 0);
    EXPECT_EQ(ReadFile(path_), after);

    Bytes torn = ReadFile(path_ + ".journal");
    torn.resize(torn.size() - 100);
    WriteFile(path_ + ".journal", torn);
    WriteFile(path_, before);
    EepromStore ignored(path_, kSize);
    ASSERT_EQ(ignored.Load(), 0);
    ASSERT_EQ(ignored.Read(40'000, 1024, memory.data()), 0);
    EXPECT_EQ(memory, Bytes(1024, 0xFF));

    // A larger change writes the whole file again; the journal goes with the old one.
    const Bytes most(1024, 0x33);
    for (std::uint32_t at = 0; at < kSize; at += 1024) ASSERT_EQ(ignored.Write(at, 1024, most.data()), 0);
    ASSERT_EQ(ignored.Save(), 0);
    EXPECT_EQ(ReadFile(path_), Bytes(kSize, 0x33));
    EXPECT_FALSE(Exists(path_ + ".journal"));
}

TEST_F(EepromStoreTest, FilesOfAnotherSizeOrUnreadableOnesAreHandled) {
    WriteFile(path_, Bytes{9, 9});
    EepromStore larger(path_, 4);
    ASSERT_EQ(larger.Load(), 0);
    EXPECT_EQ(larger.GetState(), EepromStore::kModified);  // differs from its file until saved
    Bytes all(4);
    ASSERT_EQ(larger.Read(0, 4, all.data()), 0);
    EXPECT_EQ(all, (Bytes{9, 9, 0xFF, 0xFF}));

    WriteFile(path_, Bytes(10, 5));
    EepromStore smaller(path_, 4);
    ASSERT_EQ(smaller.Load(), 0);
    ASSERT_EQ(smaller.Read(0, 4, all.data()), 0);
    EXPECT_EQ(all, Bytes(4, 5));

    const std::string folder = dir_ + "/eeprom-8.bin";
    ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
    EepromStore broken(folder, 4);
    EXPECT_EQ(broken.Load(), -EINVAL);
    EXPECT_EQ(broken.GetState(), EepromStore::kLoadFailed);
    ASSERT_EQ(broken.Read(0, 4, all.data()), 0);
    EXPECT_EQ(all, Bytes(4, 0xFF));
}

TEST_F(EepromStoreTest, RangesAreCheckedWithoutOverflow) {
    EepromStore store(path_, 2048);
    ASSERT_EQ(store.Load(), 0);
    Bytes buffer(1025);
    EXPECT_EQ(store.Read(0, 1024, buffer.data()), 0);
    EXPECT_EQ(store.Read(1024, 1024, buffer.data()), 0);
    EXPECT_EQ(store.Read(1025, 1024, buffer.data()), -EFAULT);
    EXPECT_EQ(store.Read(2048, 0, buffer.data()), 0);
    EXPECT_EQ(store.Read(2049, 0, buffer.data()), -EFAULT);
    EXPECT_EQ(store.Read(0xFFFFFFFFu, 2, buffer.data()), -EFAULT);
    EXPECT_EQ(store.Read(0, 1025, buffer.data()), -EINVAL);
    EXPECT_EQ(store.Read(0, -1, buffer.data()), -EINVAL);
    EXPECT_EQ(store.Write(2047, 2, buffer.data()), -EFAULT);
    EXPECT_EQ(store.Write(0, 0, buffer.data()), 0);
    EXPECT_EQ(store.GetState(), EepromStore::kBlank);  // nothing was written
}

class EepromServiceTest : public SimTest {
protected:
    Bytes ReadRequest(std::uint32_t address, std::int32_t length) {
        Bytes b(8, 0);
        Put32(b, 0, address);
        Put32(b, 4, static_cast<std::uint32_t>(length));
        return b;
    }
    Bytes WriteRequest(std::uint32_t address, const Bytes& data, std::int32_t length = -2) {
        Bytes b(1032, 0);
        Put32(b, 0, address);
        Put32(b, 4, static_cast<std::uint32_t>(length == -2 ? static_cast<std::int32_t>(data.size()) : length));
        std::copy(data.begin(), data.end(), b.begin() + 8);
        return b;
    }
    // Sends one request and returns its reply's payload.
    Bytes Ask(RawApp& app, std::int32_t command, const Bytes& payload) {
        const std::size_t before = app.Of(kCategoryCustomApp, command + 1).size();
        app.Send(kCategoryCustomApp, command, payload);
        const auto replies = app.AwaitCount(kCategoryCustomApp, command + 1, before + 1);
        return replies.size() > before ? replies.back().payload : Bytes{};
    }
    std::int32_t Value(RawApp& app, std::int32_t command) {
        const Bytes reply = Ask(app, command, {});
        return reply.size() == 4 ? static_cast<std::int32_t>(Get32(reply, 0)) : 12345;
    }
};

TEST_F(EepromServiceTest, ReadsWritesStatesSaveAndDestroy) {
    options_.eepromSize = 2048;
    StartSim();
    RawApp& app = Connect(100);
    EXPECT_EQ(Value(app, eeprom::kCmdState), EepromStore::kBlank);

    Bytes reply = Ask(app, eeprom::kCmdRead, ReadRequest(16, 4));
    ASSERT_EQ(reply.size(), 1036u);
    EXPECT_EQ(Get32(reply, 0), 16u);
    EXPECT_EQ(Get32(reply, 4), 4u);
    EXPECT_EQ(Get32(reply, 8), 0u);
    EXPECT_EQ(Bytes(reply.begin() + 12, reply.begin() + 16), Bytes(4, 0xFF));

    reply = Ask(app, eeprom::kCmdWrite, WriteRequest(2044, {1, 2, 3, 4}));
    ASSERT_EQ(reply.size(), 12u);
    EXPECT_EQ(Get32(reply, 0), 2044u);
    EXPECT_EQ(Get32(reply, 4), 4u);
    EXPECT_EQ(Get32(reply, 8), 0u);
    EXPECT_EQ(Value(app, eeprom::kCmdState), EepromStore::kModified);
    reply = Ask(app, eeprom::kCmdRead, ReadRequest(2044, 4));
    EXPECT_EQ(Bytes(reply.begin() + 12, reply.begin() + 16), (Bytes{1, 2, 3, 4}));

    // Outside the EEPROM, or more than one transfer: an error code, no bytes.
    reply = Ask(app, eeprom::kCmdRead, ReadRequest(2045, 4));
    EXPECT_EQ(static_cast<std::int32_t>(Get32(reply, 8)), -EFAULT);
    EXPECT_EQ(Get32(reply, 4), 0u);
    reply = Ask(app, eeprom::kCmdWrite, WriteRequest(0, {}, 1025));
    EXPECT_EQ(static_cast<std::int32_t>(Get32(reply, 8)), -EINVAL);
    reply = Ask(app, eeprom::kCmdRead, Bytes(7, 0));  // malformed: still answered
    EXPECT_EQ(reply.size(), 1036u);
    EXPECT_EQ(static_cast<std::int32_t>(Get32(reply, 8)), -EINVAL);
    app.Send(kCategoryCustomApp, 107, {});
    app.Sync();
    EXPECT_TRUE(app.Of(kCategoryCustomApp, 108).empty());            // unknown commands get no answer...
    EXPECT_TRUE(AwaitReport("command 107 of category 22 refused"));  // ...but a report

    EXPECT_EQ(Value(app, eeprom::kCmdSave), 0);
    EXPECT_EQ(Value(app, eeprom::kCmdState), EepromStore::kSaved);
    const std::string file = options_.dataFolder + "/eeprom-100.bin";
    const Bytes saved = ReadFile(file);
    ASSERT_EQ(saved.size(), 2048u);
    EXPECT_EQ(Bytes(saved.end() - 4, saved.end()), (Bytes{1, 2, 3, 4}));
    EXPECT_NE(Run("list").text.find("EEPROM 2048 bytes, saved"), std::string::npos);

    EXPECT_EQ(Value(app, eeprom::kCmdDestroy), 0);
    EXPECT_FALSE(Exists(file));
    EXPECT_EQ(Value(app, eeprom::kCmdState), EepromStore::kBlank);
    reply = Ask(app, eeprom::kCmdRead, ReadRequest(2044, 4));
    EXPECT_EQ(Bytes(reply.begin() + 12, reply.begin() + 16), Bytes(4, 0xFF));
}

TEST_F(EepromServiceTest, SavedBytesSurviveARestartAndEachApplicationHasItsOwn) {
    StartSim();
    {
        RawApp& a = Connect(100);
        RawApp& b = Connect(101);
        Ask(a, eeprom::kCmdWrite, WriteRequest(0, {0xAA, 0xBB}));
        Ask(b, eeprom::kCmdWrite, WriteRequest(0, {0xCC}));
        EXPECT_EQ(Value(a, eeprom::kCmdSave), 0);
        EXPECT_EQ(Value(b, eeprom::kCmdSave), 0);
        Ask(a, eeprom::kCmdWrite, WriteRequest(0, {0x11}));  // never saved
    }
    apps_.clear();
    sim_->Stop();
    sim_.reset();

    StartSim();
    RawApp& a = Connect(100);
    RawApp& b = Connect(101);
    EXPECT_EQ(Value(a, eeprom::kCmdState), EepromStore::kSaved);
    Bytes reply = Ask(a, eeprom::kCmdRead, ReadRequest(0, 2));
    EXPECT_EQ(Bytes(reply.begin() + 12, reply.begin() + 14), (Bytes{0xAA, 0xBB}));
    reply = Ask(b, eeprom::kCmdRead, ReadRequest(0, 2));
    EXPECT_EQ(Bytes(reply.begin() + 12, reply.begin() + 14), (Bytes{0xCC, 0xFF}));
}

TEST_F(EepromServiceTest, UnsavedBytesOutliveAReconnectionWhileTheSimulatorRuns) {
    StartSim();
    auto first = std::make_unique<RawApp>(options_.endpoint, 100);
    ASSERT_TRUE(AwaitReport("application 100 connected"));
    Ask(*first, eeprom::kCmdWrite, WriteRequest(0, {0x5A}));
    auto second = std::make_unique<RawApp>(options_.endpoint, 101);
    ASSERT_TRUE(AwaitReport("application 101 connected"));
    // Requests behind a save (which runs off the worker) wait for it and are
    // answered in order: the write lands after the saved bytes.
    second->Send(kCategoryCustomApp, eeprom::kCmdWrite, WriteRequest(0, {0x6B}));
    second->Send(kCategoryCustomApp, eeprom::kCmdSave, {});
    second->Send(kCategoryCustomApp, eeprom::kCmdWrite, WriteRequest(1, {0x7C}));
    EXPECT_EQ(Value(*second, eeprom::kCmdState), EepromStore::kModified);
    ASSERT_EQ(second->Of(kCategoryCustomApp, eeprom::kCmdSave + 1).size(), 1u);
    EXPECT_EQ(ReadFile(options_.dataFolder + "/eeprom-101.bin").at(1), 0xFF);
    EXPECT_EQ(Value(*second, eeprom::kCmdSave), 0);
    struct stat status {};
    ASSERT_EQ(::stat((options_.dataFolder + "/eeprom-101.bin").c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0600u);  // the owner's only
    first->Close();
    second->Close();
    ASSERT_TRUE(AwaitReport("application 100 disconnected"));
    ASSERT_TRUE(AwaitReport("application 101 disconnected"));
    // Neither store stays in memory: the saved one is read again from its
    // file, the unsaved bytes wait on disk.
    EXPECT_TRUE(Eventually([&] {
        const std::string list = Run("list").text;
        return list.find("EEPROM of application 100 (gone): not saved, put aside") != std::string::npos &&
               list.find("EEPROMs: 0 in memory (0 bytes), 1 put aside") != std::string::npos;
    })) << Run("list").text;

    RawApp& again = Connect(100);
    EXPECT_EQ(Value(again, eeprom::kCmdState), EepromStore::kModified);
    Bytes reply = Ask(again, eeprom::kCmdRead, ReadRequest(0, 1));
    EXPECT_EQ(reply.at(12), 0x5A);
    RawApp& other = Connect(101);  // its saved EEPROM is read back from the file
    EXPECT_EQ(Value(other, eeprom::kCmdState), EepromStore::kSaved);
    reply = Ask(other, eeprom::kCmdRead, ReadRequest(0, 1));
    EXPECT_EQ(reply.at(12), 0x6B);
}

// A host whose posted tasks run when the test says, so that a restart can
// come while a departed application's bytes are being put aside.
class ManualHost : public ServiceHost {
public:
    void Send(std::int32_t, std::int32_t, std::int32_t command, const std::uint8_t* data, std::size_t length) override {
        replies.push_back({command, Bytes(data, data + length)});
    }
    void Report(const std::string&) override {}
    void PutOnBus(const CanFrame&, const Origin&) override {}
    void PutOnJ1708(const J1708Frame&, const Origin&) override {}
    void Post(std::function<void()> task) override {
        {
            std::lock_guard<std::mutex> guard(lock_);
            posted_.push_back(std::move(task));
        }
        arrived_.notify_all();
    }
    // Runs the next task posted; false if none comes in time.
    bool RunNext() {
        std::function<void()> task;
        {
            std::unique_lock<std::mutex> guard(lock_);
            if (!arrived_.wait_for(guard, std::chrono::milliseconds(kBoundMs), [&] { return !posted_.empty(); }))
                return false;
            task = std::move(posted_.front());
            posted_.erase(posted_.begin());
        }
        task();
        return true;
    }
    std::vector<std::pair<std::int32_t, Bytes>> replies;

private:
    std::mutex lock_;
    std::condition_variable arrived_;
    std::vector<std::function<void()>> posted_;
};

TEST_F(EepromStoreTest, ARestartWhileUnsavedBytesArePutAsideLosesThem) {
    ManualHost host;
    EepromService service(host, dir_, 64);
    Bytes write(1032, 0);
    write[4] = 1;  // one byte at address 0
    write[8] = 0x5A;
    service.Handle(100, eeprom::kCmdWrite, write.data(), write.size());
    ASSERT_TRUE(host.RunNext());  // loaded, then written
    ASSERT_EQ(host.replies.size(), 1u);
    service.Drop(100);             // its bytes go to the scratch file
    service.Restart();             // while they are on their way
    ASSERT_TRUE(host.RunNext());

    Bytes read(8, 0);
    read[4] = 1;
    service.Handle(100, eeprom::kCmdRead, read.data(), read.size());
    ASSERT_TRUE(host.RunNext());
    ASSERT_EQ(host.replies.size(), 2u);
    ASSERT_GT(host.replies[1].second.size(), 12u);
    EXPECT_EQ(host.replies[1].second[12], 0xFF) << "a restart kept a byte that was never saved";
}

// What a test bench reads is what the application would read back: unsaved
// bytes in memory or put aside, none after a restart.
TEST_F(EepromStoreTest, HeldBytesAreWhatTheApplicationWouldReadBack) {
    ManualHost host;
    EepromService service(host, dir_, 64);
    Bytes held;
    EXPECT_EQ(service.Held(100, 0, 2, &held), 0);  // nothing yet: erased
    EXPECT_EQ(held, (Bytes{0xFF, 0xFF}));
    Bytes write(1032, 0);
    write[4] = 1;  // one byte at address 0
    write[8] = 0x5A;
    service.Handle(100, eeprom::kCmdWrite, write.data(), write.size());
    EXPECT_EQ(service.Held(100, 0, 1, &held), -EBUSY);  // being loaded
    ASSERT_TRUE(host.RunNext());
    EXPECT_EQ(service.Held(100, 0, 2, &held), 0);
    EXPECT_EQ(held, (Bytes{0x5A, 0xFF}));
    EXPECT_EQ(service.Held(100, 63, 2, &held), -EFAULT);

    service.Drop(100);
    ASSERT_TRUE(host.RunNext());  // put aside
    EXPECT_EQ(service.Held(100, 0, 1, &held), 0);
    EXPECT_EQ(held, Bytes{0x5A});
    service.Restart();
    EXPECT_EQ(service.Held(100, 0, 1, &held), 0);
    EXPECT_EQ(held, Bytes{0xFF});
}

}  // namespace
