#include "TestPlatform.h"

#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <stdexcept>
#include <utility>

namespace testsupport {

TestPlatform::TestPlatform() : server_(254) {
    char pattern[] = "/tmp/customapp-test-XXXXXX";
    if (mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
    dir_ = pattern;
    path_ = dir_ + "/gatrel";
    server_.SetMessageHandler([this](std::int32_t source, std::unique_ptr<PlatformServices::QRVMessage> message) {
        Record(source, *message);
    });
    server_.SetConnectionHandler([this](std::int32_t address, bool connected) {
        {
            std::lock_guard<std::mutex> guard(lock_);
            if (connected) {
                clients_.push_back(address);
            } else {
                clients_.erase(std::remove(clients_.begin(), clients_.end(), address), clients_.end());
            }
        }
        changed_.notify_all();
    });
    if (server_.Start(path_) != 0) throw std::runtime_error("test platform could not listen");
    setenv(PlatformServices::kEndpointEnvVar, path_.c_str(), 1);
}

TestPlatform::~TestPlatform() {
    server_.Stop();
    unsetenv(PlatformServices::kEndpointEnvVar);
    unlink(path_.c_str());
    rmdir(dir_.c_str());
}

void TestPlatform::SetObserver(Observer observer) {
    std::lock_guard<std::mutex> guard(lock_);
    observer_ = std::move(observer);
}

void TestPlatform::Record(std::int32_t source, PlatformServices::QRVMessage& message) {
    Message record{source, message.GetCommand(), message.GetAddress(), {}};
    if (message.ParseChildMessages()) {
        for (const auto& child : message.GetChildMessages()) {
            const std::uint8_t* data = child->GetData();
            record.children.push_back(
                Child{child->GetCommand(), std::vector<std::uint8_t>(data, data + child->GetLength())});
        }
    }
    Observer observer;
    {
        std::lock_guard<std::mutex> guard(lock_);
        messages_.push_back(record);
        observer = observer_;
    }
    changed_.notify_all();
    if (observer) observer(record);
}

std::vector<TestPlatform::Message> TestPlatform::Messages() const {
    std::lock_guard<std::mutex> guard(lock_);
    return messages_;
}

bool TestPlatform::AwaitMessages(std::size_t count, int realTimeoutMs) const {
    std::unique_lock<std::mutex> guard(lock_);
    return changed_.wait_for(guard, std::chrono::milliseconds(realTimeoutMs),
                             [&] { return messages_.size() >= count; });
}

bool TestPlatform::AwaitClient(std::int32_t address, int realTimeoutMs) const {
    std::unique_lock<std::mutex> guard(lock_);
    return changed_.wait_for(guard, std::chrono::milliseconds(realTimeoutMs), [&] {
        return std::find(clients_.begin(), clients_.end(), address) != clients_.end();
    });
}

bool TestPlatform::AwaitClientGone(std::int32_t address, int realTimeoutMs) const {
    std::unique_lock<std::mutex> guard(lock_);
    return changed_.wait_for(guard, std::chrono::milliseconds(realTimeoutMs), [&] {
        return std::find(clients_.begin(), clients_.end(), address) == clients_.end();
    });
}

int TestPlatform::Send(std::int32_t address, std::int32_t category, std::int32_t command,
                       const std::vector<std::uint8_t>& payload, std::int32_t source) {
    PlatformServices::QRVMessage message(PlatformServices::QRVMessage::kTypeEnvelope, category, address);
    message.SetSourceAddress(source);
    message.NewChildMessage(PlatformServices::QRVMessage::kTypeChild)
        ->Build(command, payload.size(), payload.data(), false);
    return server_.Write(address, message);
}

std::vector<std::uint8_t> TestPlatform::Frame(std::int32_t category, std::int32_t command,
                                              const std::vector<std::uint8_t>& payload, std::int32_t source) {
    PlatformServices::QRVMessage message(PlatformServices::QRVMessage::kTypeEnvelope, category, 0);
    message.SetSourceAddress(source);
    message.NewChildMessage(PlatformServices::QRVMessage::kTypeChild)
        ->Build(command, payload.size(), payload.data(), false);
    std::vector<std::uint8_t> bytes;
    message.Serialize(bytes);
    return bytes;
}

int TestPlatform::SendRaw(std::int32_t address, const std::vector<std::uint8_t>& bytes) {
    return server_.WriteRaw(address, bytes.data(), bytes.size());
}

}  // namespace testsupport
