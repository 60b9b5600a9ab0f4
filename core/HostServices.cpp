#include <new>

#include "Helper.h"
#include "core/TarvexInterfacePrivate.h"
#include "common/Result.h"

namespace CustomApplication {

namespace {
// The host's table, or null when Init has not copied one.
const CoreTypes::ServiceProviders* Table(TarvexInterfacePrivate* d) {
    return (d != nullptr && d->HasProviders()) ? &d->Providers() : nullptr;
}

using Semaphore = TarvexInterfacePrivate::Semaphore;
}  // namespace

std::int32_t TarvexInterface::TaskScheduleAt(CoreTypes::TaskFunction task, void* argument, std::int64_t time) {
    const auto* table = Table(d);
    if (table == nullptr || table->taskScheduleAt == nullptr) return kInvalidArgument;
    return table->taskScheduleAt(table->taskContext, task, argument, time);
}

std::int32_t TarvexInterface::TaskScheduleEvery(CoreTypes::TaskFunction task, void* argument,
                                                std::int64_t period) {
    const auto* table = Table(d);
    if (table == nullptr || table->taskScheduleEvery == nullptr) return kInvalidArgument;
    return table->taskScheduleEvery(table->taskContext, task, argument, period);
}

std::int32_t TarvexInterface::TaskScheduleAsync(CoreTypes::TaskFunction task, void* argument) {
    const auto* table = Table(d);
    if (table == nullptr || table->taskScheduleAsync == nullptr) return kInvalidArgument;
    return table->taskScheduleAsync(table->taskContext, task, argument);
}

void TarvexInterface::TaskCancel(std::int32_t taskId) {
    const auto* table = Table(d);
    if (table != nullptr && table->taskCancel != nullptr) table->taskCancel(table->taskContext, taskId);
}

void TarvexInterface::TaskCheckInAsync(std::int32_t taskId) {
    const auto* table = Table(d);
    if (table != nullptr && table->taskCheckInAsync != nullptr) table->taskCheckInAsync(table->taskContext, taskId);
}

void TarvexInterface::TaskDisableWatchdogAsync(std::int32_t taskId) {
    const auto* table = Table(d);
    if (table != nullptr && table->taskDisableWatchdogAsync != nullptr) {
        table->taskDisableWatchdogAsync(table->taskContext, taskId);
    }
}

void TarvexInterface::SetVersionInfo(std::int32_t major, std::int32_t minor, std::int32_t revision,
                                     std::int32_t build) {
    const auto* table = Table(d);
    if (table != nullptr && table->setVersionInfo != nullptr) {
        table->setVersionInfo(table->hostContext, major, minor, revision, build);
    }
}

void TarvexInterface::NotifyAppShutdown() {
    const auto* table = Table(d);
    if (table != nullptr && table->notifyAppShutdown != nullptr) table->notifyAppShutdown(table->hostContext);
}

std::int64_t TarvexInterface::GetTicks() { return PlatformServices::Helper::GetTicks(); }

void* TarvexInterface::SemaphoreCreate() { return new (std::nothrow) Semaphore(); }

void TarvexInterface::SemaphoreFree(void* semaphore) { delete static_cast<Semaphore*>(semaphore); }

std::int32_t TarvexInterface::SemaphoreWait(void* semaphore, std::int32_t timeoutMs) {
    if (semaphore == nullptr) return kInvalidArgument;
    return static_cast<Semaphore*>(semaphore)->Event.WaitOne(timeoutMs) == 0 ? 0 : kTimedOut;
}

void TarvexInterface::SemaphoreReset(void* semaphore) {
    if (semaphore != nullptr) static_cast<Semaphore*>(semaphore)->Event.Reset();
}

void TarvexInterface::SemaphoreSet(void* semaphore) {
    if (semaphore != nullptr) static_cast<Semaphore*>(semaphore)->Event.Set();
}

std::int32_t TarvexInterface::StringSplit(const std::string& text, std::vector<std::string>& parts,
                                          char separator) {
    return PlatformServices::Helper::SplitString(text, parts, separator);
}

}  // namespace CustomApplication
