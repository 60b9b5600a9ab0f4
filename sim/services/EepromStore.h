// Thread rule: not synchronised; the simulator's worker thread is its only
// user.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace gatewaysim {

// One virtual EEPROM: a block of bytes of a fixed size, kept in memory and
// saved to one file on request.
//
// Saving is durable, and a crash at any moment leaves either the old or the
// new bytes whole. A save that changed a small part of the memory writes
// only the pages it changed: first to "<file>.journal" (flushed to the disk,
// with a checksum), then into the file (flushed too). A journal that is whole
// is applied again when the file is loaded, so a save cut short between the
// two is completed; a torn one is ignored, the file was not touched yet. Any
// other save writes the whole memory to "<file>.tmp", flushes it and renames
// it over the file (the journal is removed first), and flushes the folder; a
// left-over temporary file is never read.
class EepromStore {
public:
    // State codes, as the EEPROM state request answers them.
    enum State : std::int32_t {
        kSaved = 0,       // the memory equals the saved file
        kModified = 1,    // written since the last save (or loaded from a file of another size)
        kBlank = 2,       // no saved file: never saved, or destroyed; every byte reads 0xFF
        kSaveFailed = 3,  // the last save failed; the memory holds the bytes, the file the old ones
        kLoadFailed = 4,  // the file could not be read; the memory starts blank
    };
    static constexpr std::uint8_t kErasedByte = 0xFF;

    // Files are created with `fileMode` (as the umask leaves it).
    EepromStore(std::string path, std::size_t size, int fileMode = 0600);

    // Reads the file, if there is one. Returns 0 or the negative errno value
    // of the failure (state kLoadFailed).
    int Load();

    // 0, -EINVAL for a length outside 0 to 1024, -EFAULT when the range
    // reaches past the end.
    int Read(std::uint32_t address, std::int32_t length, std::uint8_t* out) const;
    int Write(std::uint32_t address, std::int32_t length, const std::uint8_t* data);
    // 0 or a negative errno value.
    int Save();
    // Removes the file and blanks the memory. 0 or a negative errno value.
    int Destroy();

    // The memory put aside in a scratch file, for a store that is let go with
    // bytes not saved; not durable (the bytes were never saved). 0 or a
    // negative errno value.
    int WriteScratch(const std::string& scratch) const;
    // Takes the memory back from a scratch file, with the state it had. 0 or
    // a negative errno value (the store is then as Load leaves it).
    int ReadScratch(const std::string& scratch, State state);

    State GetState() const { return state_; }
    // A save that the platform reports failed without trying.
    void MarkSaveFailed() { state_ = kSaveFailed; }
    std::size_t Size() const { return bytes_.size(); }
    const std::string& Path() const { return path_; }

private:
    int CheckRange(std::uint32_t address, std::int32_t length) const;
    // Reads `path` into the memory; `*fileSize` gets its size. ENOENT when
    // it does not exist.
    int ReadFile(const std::string& path, std::size_t* fileSize);
    int WriteFile(const std::string& path) const;
    // Writes the changed pages through the journal into the file.
    int SaveChangedPages();
    // Applies a whole journal to the memory; a torn or foreign one is left alone.
    void ApplyJournal();
    void MarkChanged(std::size_t first, std::size_t end);
    void ForgetChanges(bool fileInStep);

    std::string path_;
    int fileMode_;
    std::vector<std::uint8_t> bytes_;
    State state_ = kBlank;
    // Pages written since the file last held the memory; meaningful only
    // while fileInStep_ (the file holds the memory but for these pages).
    std::vector<bool> changed_;
    std::size_t changedPages_ = 0;
    bool fileInStep_ = false;
};

}  // namespace gatewaysim
