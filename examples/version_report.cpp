// A custom application that needs no platform: it prints the library's
// version record, reads the tick counter and hands a semaphore between two
// threads.
#include <cstdio>
#include <thread>

#include <customapp/CustomApplicationInterfaceLibrary.h>
#include <customapp/TarvexInterface.h>

using CustomApplication::TarvexInterface;

int main() {
    PlatformServices::Helper::VersionInfo* info = nullptr;
    if (CustomApplication::CustomApplicationInterfaceLibrary::GetVersionInfo(&info) != 0) return 1;
    std::printf("%s %d.%d.%d.%d, part %s, interface %d\n", info->Name, info->Major, info->Minor, info->Revision,
                info->Build, info->PartNumber, info->InterfaceVersion);
    delete info;

    TarvexInterface sdk;
    std::printf("SDK version %d\n", sdk.GetSDKVersion());

    void* ready = sdk.SemaphoreCreate();
    const std::int64_t start = sdk.GetTicks();
    std::thread worker([&] { sdk.SemaphoreSet(ready); });
    const std::int32_t waited = sdk.SemaphoreWait(ready, 1000);
    worker.join();
    std::printf("semaphore wait: %d after %lld ms\n", waited, static_cast<long long>(sdk.GetTicks() - start));
    sdk.SemaphoreFree(ready);

    std::vector<std::string> parts;
    const std::int32_t count = sdk.StringSplit("can0,can1,,j1708", parts, ',');
    std::printf("split into %d parts, third is empty: %s\n", count, parts.size() == 4 && parts[2].empty() ? "yes" : "no");
    return waited == 0 && count == 4 ? 0 : 1;
}
