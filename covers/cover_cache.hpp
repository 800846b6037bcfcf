// Pictures found for a title, kept so that a title that comes back shows them at once without
// asking any source. In memory: bounded by the total size of the pictures, the least recently
// used title leaves first. Optionally also in a folder, one file per title, so that they survive
// a restart: each file written atomically, the folder bounded in size (oldest files removed), a
// damaged or foreign file ignored. Safe from any thread; disk work happens outside the lock.
#pragma once

#include <cstddef>
#include <filesystem>
#include <list>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "covers/cover_set.hpp"

class CoverCache {
   public:
    static constexpr std::size_t kDefaultMemoryBytes = 32u * 1024 * 1024;
    static constexpr std::size_t kDefaultDiskBytes = 64u * 1024 * 1024;

    explicit CoverCache(std::size_t memoryBytes = kDefaultMemoryBytes) : limit_(memoryBytes) {}

    // Where pictures are also kept (empty: memory only). Set before the first search.
    void SetFolder(const std::filesystem::path& folder, std::size_t diskBytes = kDefaultDiskBytes);

    // The pictures kept for key, from memory or else from the folder (then kept in memory too).
    // False (out empty) when there are none.
    bool Find(const std::string& key, std::vector<CoverBytes>& out);
    // Keeps pictures (1 to MAX_COVERS) for key, replacing what was kept for it. A title whose
    // pictures alone exceed the memory bound is not kept.
    void Store(const std::string& key, const std::vector<CoverBytes>& pictures);

    std::size_t Bytes() const;    // picture bytes held in memory
    std::size_t Entries() const;  // titles held in memory

    // The file a key is kept in, inside the folder (for tests).
    std::filesystem::path FileFor(const std::string& key) const;

   private:
    struct Entry {
        std::string key;
        std::vector<CoverBytes> pictures;
        std::size_t bytes = 0;
    };
    using Order = std::list<Entry>;  // most recently used first

    void Remember(const std::string& key, const std::vector<CoverBytes>& pictures);  // lock_ held
    bool LoadFile(const std::string& key, std::vector<CoverBytes>& out) const;
    void SaveFile(const std::string& key, const std::vector<CoverBytes>& pictures) const;
    void TrimFolder() const;

    mutable std::mutex lock_;  // guards order_, index_, bytes_
    std::size_t limit_;
    std::size_t bytes_ = 0;
    Order order_;
    std::unordered_map<std::string, Order::iterator> index_;
    std::filesystem::path folder_;  // set before the first search, read without the lock
    std::size_t diskLimit_ = kDefaultDiskBytes;
    mutable std::mutex diskLock_;  // one writer of the folder at a time (trimming counts it whole)
};

// The file format, exposed for the tests and the fuzzer: a header, the key, then each picture
// with its size, and a checksum over all of it. Parse returns false for anything that is not a
// complete, intact file for exactly this key holding 1 to MAX_COVERS pictures that each pass the
// download's checks (size and signature).
std::string FormatCoverCacheFile(const std::string& key, const std::vector<CoverBytes>& pictures);
bool ParseCoverCacheFile(std::string_view bytes, const std::string& key, std::vector<CoverBytes>& out);
