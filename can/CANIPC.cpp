#include "can/CANIPC.h"

#include "common/Result.h"

namespace PlatformServices {
namespace CANIPC {

int AddSubscription(const AddSubscriptionData* data, CustomApplication::MessageSink& sink) {
    if (data == nullptr) return CustomApplication::kInvalidArgument;
    return sink.Send(kCategory, kAddress, kAddSubscription, data, sizeof *data);
}

int RemoveSubscription(const AddSubscriptionData* data, CustomApplication::MessageSink& sink) {
    if (data == nullptr) return CustomApplication::kInvalidArgument;
    return sink.Send(kCategory, kAddress, kRemoveSubscription, data, sizeof *data);
}

int RemoveSubscription(CustomApplication::MessageSink& sink) {
    return sink.Send(kCategory, kAddress, kRemoveAll, nullptr, 0);
}

}  // namespace CANIPC
}  // namespace PlatformServices
