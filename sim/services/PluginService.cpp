#include "services/PluginService.h"

#include <cerrno>
#include <cstring>

#include "services/PluginFiles.h"
#include "services/Wire.h"

namespace gatewaysim {

std::string PluginService::FileFor(std::uint8_t fileMode) const {
    return folder_ + "/mode" + std::to_string(fileMode) + ".bin";
}

std::uint32_t PluginService::StartJob(std::int32_t address, std::uint32_t mode, std::uint8_t bus,
                                      std::uint8_t parameter) {
    const std::uint32_t number = nextJob_++;
    std::uint8_t notice[plugin::kJobStartBytes] = {};
    PutU32(notice, number);
    PutU32(notice + 4, mode);
    notice[8] = bus;
    notice[9] = parameter;
    jobs_[address] = Job{number, ""};
    host_.Send(address, kCategoryCustomApp, plugin::kCmdJobStart, notice, sizeof(notice));
    return number;
}

void PluginService::Handle(std::int32_t source, std::int32_t command, const std::uint8_t* data,
                           std::size_t length) {
    if (data == nullptr) length = 0;
    const std::string who = "application " + std::to_string(source);
    const auto refuse = [&](std::size_t expected) {
        host_.Report(who + ": plug-in command " + std::to_string(command) + " refused: payload of " +
                     std::to_string(length) + " bytes, expected " + std::to_string(expected));
    };
    switch (command) {
        case plugin::kCmdProgress: {
            if (length != plugin::kProgressBytes) {
                refuse(plugin::kProgressBytes);
                return;
            }
            const std::string text = "plug-in " + std::to_string(GetI32(data)) + ", state " +
                                     std::to_string(data[4]) + ", progress " + std::to_string(data[5]) +
                                     ", value " + std::to_string(GetI32(data + 8));
            jobs_[source].progress = text;
            host_.Report(who + ": job progress: " + text);
            return;
        }
        case plugin::kCmdFileStats: {
            if (length != plugin::kFileStatsRequestBytes) {
                refuse(plugin::kFileStatsRequestBytes);
                return;
            }
            const std::string path = FileFor(data[4]);
            std::uint8_t id[4];
            std::memcpy(id, data, sizeof(id));
            summaries_.Request(path, [this, source, who, path, id](const FileSummary& summary) {
                if (summary.result != 0) {
                    host_.Report(who + ": file summary of " + path + ": " + std::strerror(-summary.result));
                }
                std::uint8_t reply[plugin::kFileStatsReplyBytes] = {};
                std::memcpy(reply, id, sizeof(id));
                PutU32(reply + 4, summary.size);
                PutU32(reply + 8, summary.crc);
                host_.Send(source, kCategoryCustomApp, plugin::kCmdFileStatsReply, reply, sizeof(reply));
            });
            return;
        }
        case plugin::kCmdFileData: {
            std::vector<std::uint8_t> reply(plugin::kFileDataReplyBytes, 0);
            std::int32_t result = -EINVAL;
            if (length != plugin::kFileDataRequestBytes) {
                refuse(plugin::kFileDataRequestBytes);
            } else {
                std::memcpy(reply.data(), data, 4);
                reply[8] = data[4];
                const std::uint32_t offset = GetU32(data + 8);
                std::uint32_t wanted = GetU32(data + 12);
                if (wanted == 0 || wanted > plugin::kBlockBytes) wanted = plugin::kBlockBytes;
                std::uint32_t size = 0;
                const long read = ReadFileBlock(FileFor(data[4]), offset, reply.data() + 24, wanted, &size);
                PutU32(reply.data() + 12, offset);
                PutU32(reply.data() + 16, size);
                if (read >= 0) {
                    result = 0;
                    PutU32(reply.data() + 20, static_cast<std::uint32_t>(read));
                } else {
                    result = static_cast<std::int32_t>(read);
                    host_.Report(who + ": file content of " + FileFor(data[4]) + " at " + std::to_string(offset) +
                                 ": " + std::strerror(static_cast<int>(-read)));
                }
            }
            PutI32(reply.data() + 4, result);
            host_.Send(source, kCategoryCustomApp, plugin::kCmdFileDataReply, reply.data(), reply.size());
            return;
        }
        default:
            host_.Report(who + ": command " + std::to_string(command) + " of category 22 refused: unknown command");
    }
}

std::vector<std::string> PluginService::Describe(std::int32_t address) const {
    const auto it = jobs_.find(address);
    if (it == jobs_.end()) return {};
    std::string line = "plug-in";
    if (it->second.number != 0) line += " job " + std::to_string(it->second.number);
    if (!it->second.progress.empty()) line += ", last progress: " + it->second.progress;
    return {line};
}

}  // namespace gatewaysim
