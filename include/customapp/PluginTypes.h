// Thread rule: plain records and a callback type. The job-start notifier runs
// on the library's listener thread; the JobInfo it receives is valid only
// during the call.
#pragma once

#include <cstdint>

#include "CoreTypes.h"

namespace CustomApplication {
namespace PluginTypes {

// Which file a query addresses; any other value is sent as "other" (2).
enum FileMode : std::int32_t {
    FileMode0 = 0,
    FileMode1 = 1,
    FileModeOther = 2,
};

// The job's state as the application reports it; the library passes the
// low byte through and gives the values no meaning.
enum OperationState : std::int32_t {
    OperationStateIdle = 0,
};

constexpr std::uint32_t MaxFileDataLength = 4096;

// Filled by PluginGetFileStats.
struct FileStats {
    std::uint32_t Value0;
    std::uint32_t Value1;
};

// Filled by PluginGetFileData.
struct FileData {
    std::uint32_t Value0;
    std::uint32_t Value1;
    std::uint32_t Length;  // valid bytes in Data, at most 4096
    std::uint8_t Data[MaxFileDataLength];
};

// Given to the job-start notifier.
struct JobInfo {
    std::int32_t CommsMode;  // 0 or 1
    CoreTypes::CANBus Bus;
    std::uint8_t JobParameter;
};

typedef void (*JobStartNotifier)(void* context, const JobInfo* info);

}  // namespace PluginTypes
}  // namespace CustomApplication
