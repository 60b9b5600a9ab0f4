#include "AllocFaultSupport.h"

#include <algorithm>

#include <customapp/CANTypes.h>

namespace allocfault {

namespace {
// A free-standing frame that no test sends otherwise: once the platform has
// recorded it, it has recorded everything sent before it.
constexpr std::uint32_t kMarkerIdentifier = 0x7EE;
constexpr std::int32_t kCategoryCAN = 10;
constexpr std::int32_t kSendFrame = 4;

bool IsMarker(const testsupport::TestPlatform::Message& message) {
    if (message.category != kCategoryCAN || message.children.size() != 1) return false;
    const auto& child = message.children.front();
    return child.command == kSendFrame && child.payload.size() >= 4 && child.payload[0] == 0xEE &&
           child.payload[1] == 0x07 && child.payload[2] == 0 && child.payload[3] == 0;
}
}  // namespace

std::vector<AllocFixture::Child> AllocFixture::Sent(std::int32_t category) {
    using namespace CustomApplication;
    CANTypes::CANMessage marker{CoreTypes::CANBus0, kMarkerIdentifier, CANTypes::Standard, 0, {}};
    EXPECT_EQ(sdk.CANSendMessage(&marker), 0);
    ++markers_;
    std::vector<Message> messages = platform.Messages();
    while (static_cast<std::size_t>(std::count_if(messages.begin(), messages.end(), IsMarker)) < markers_) {
        if (!platform.AwaitMessages(messages.size() + 1)) {
            ADD_FAILURE() << "the platform did not record the marker";
            break;
        }
        messages = platform.Messages();
    }
    std::vector<Child> children;
    for (const Message& message : messages) {
        if (message.category != category || IsMarker(message)) continue;
        children.insert(children.end(), message.children.begin(), message.children.end());
    }
    return children;
}

}  // namespace allocfault
