#include <cstring>
#include <new>

#include <customapp/CustomApplicationInterfaceLibrary.h>
#include <customapp/TarvexInterface.h>
#include "ProductVersion.h"
#include "common/Result.h"

namespace CustomApplication {

namespace {
constexpr std::int32_t kSDKVersion = productversion::kInterface;
constexpr char kLibraryName[] = "Custom Application Interface Library";
constexpr char kPartNumber[] = "40923B7";

template <std::size_t N, std::size_t M>
void CopyText(char (&to)[N], const char (&from)[M]) {
    static_assert(M <= N, "text does not fit its field");
    std::memcpy(to, from, M);
}
}  // namespace

std::int32_t TarvexInterface::GetSDKVersion() { return kSDKVersion; }

std::int32_t CustomApplicationInterfaceLibrary::GetVersionInfo(PlatformServices::Helper::VersionInfo** info) {
    if (info == nullptr) return kInvalidArgument;
    auto* record = new (std::nothrow) PlatformServices::Helper::VersionInfo();
    if (record == nullptr) return kOutOfMemory;
    CopyText(record->PartNumber, kPartNumber);
    CopyText(record->Name, kLibraryName);
    record->Major = productversion::kMajor;
    record->Minor = productversion::kMinor;
    record->Revision = productversion::kRevision;
    record->Build = productversion::kBuild;
    record->InterfaceVersion = kSDKVersion;
    *info = record;
    return 0;
}

}  // namespace CustomApplication
