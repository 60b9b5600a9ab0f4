// Thread rule: worker thread only (see ServiceHost.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "services/FileSummaries.h"
#include "services/ServiceHost.h"

namespace gatewaysim {

// Plug-in jobs: the operator starts a job for an application; the
// application reports its progress and reads files, which are served from
// the files "mode0.bin", "mode1.bin" and "mode2.bin" of the plug-in folder,
// one per file mode.
//
// File summary (command 15, answered by 16): Value0 is the file's size in
// bytes, Value1 its CRC-32; both are 0 when the file is missing. The CRC is
// computed off the worker thread, once per version of the file, so a large
// file holds up no bus; its answer may come after answers to later requests.
// File content (command 17, answered by 18): the first request value is the
// byte offset, the second the number of bytes wanted (0, or more than 4096,
// asks for 4096), the third is not used. The reply's result is 0 or a
// negative errno value (-ENOENT: no file; -EINVAL: the offset lies past the
// end); Value0 is the offset served, Value1 the file's size, and the length
// the number of bytes served (0 at the end of the file).
class PluginService {
public:
    // `computing` (optional, a test hook) is called off the worker thread
    // before a file's CRC is computed.
    PluginService(ServiceHost& host, std::string folder, std::function<void()> computing = nullptr)
        : host_(host),
          folder_(std::move(folder)),
          summaries_([&host](std::function<void()> task) { host.Post(std::move(task)); }, std::move(computing)) {}

    // Commands 14, 15 and 17 of category 22.
    void Handle(std::int32_t source, std::int32_t command, const std::uint8_t* data, std::size_t length);
    // Sends a job-start notification. Returns the job's number (from 1).
    std::uint32_t StartJob(std::int32_t address, std::uint32_t mode, std::uint8_t bus, std::uint8_t parameter);
    void Drop(std::int32_t address) { jobs_.erase(address); }
    std::vector<std::string> Describe(std::int32_t address) const;

    std::string FileFor(std::uint8_t fileMode) const;

private:
    struct Job {
        std::uint32_t number = 0;
        std::string progress;  // the last progress report, as text
    };

    ServiceHost& host_;
    std::string folder_;
    std::uint32_t nextJob_ = 1;
    std::map<std::int32_t, Job> jobs_;  // the last job of each application
    FileSummaries summaries_;
};

}  // namespace gatewaysim
