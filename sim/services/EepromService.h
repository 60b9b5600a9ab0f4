// Thread rule: worker thread only (see ServiceHost.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "services/EepromStore.h"
#include "services/ServiceHost.h"

namespace gatewaysim {

// The virtual EEPROM service: one store per application address, of one
// configured size, in files "eeprom-<address>.bin" of the data folder. A
// store is loaded at the first request of its application. Unsaved bytes are
// kept while the simulator runs, across reconnections, and lost when it ends.
class EepromService {
public:
    EepromService(ServiceHost& host, std::string folder, std::size_t size)
        : host_(host), folder_(std::move(folder)), size_(size) {}

    // Commands 1, 3, 5, 7 and 9 of category 22. Each is answered (command
    // plus one); a request of the wrong length is answered with -EINVAL.
    void Handle(std::int32_t source, std::int32_t command, const std::uint8_t* data, std::size_t length);
    // An application has gone: a store that holds nothing unsaved is let go
    // (it is read again from its file when needed); one with unsaved bytes
    // is kept.
    void Drop(std::int32_t address);
    std::vector<std::string> Describe(std::int32_t address) const;

    std::string PathOf(std::int32_t address) const;

private:
    EepromStore& StoreOf(std::int32_t address);
    void ReplyValue(std::int32_t source, std::int32_t command, std::int32_t value);

    ServiceHost& host_;
    std::string folder_;
    std::size_t size_;
    std::map<std::int32_t, std::unique_ptr<EepromStore>> stores_;
};

}  // namespace gatewaysim
