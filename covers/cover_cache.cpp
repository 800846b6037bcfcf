#include "covers/cover_cache.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>
#include <system_error>
#include <utility>

#include "covers/cover_search.hpp"
#include "platform/file_read.hpp"
#include "platform/file_replace.hpp"

namespace {

constexpr std::string_view kMagic = "TOVRELCOVERS1\n";
constexpr std::string_view kExtension = ".cover";
constexpr std::size_t kKeyMost = 4096;
constexpr std::size_t kFileMost = kMagic.size() + 8 + kKeyMost + MAX_COVERS * (4 + kPictureLimitBytes) + 4;

std::uint64_t Fnv1a64(std::string_view bytes) {
    std::uint64_t hash = 14695981039346656037ull;
    for (const char c : bytes) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 1099511628211ull;
    }
    return hash;
}

std::uint32_t Checksum(std::string_view bytes) {
    const std::uint64_t h = Fnv1a64(bytes);
    return static_cast<std::uint32_t>(h ^ (h >> 32));
}

void PutU32(std::string& out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) out += static_cast<char>((v >> (8 * i)) & 0xFF);
}

bool GetU32(std::string_view bytes, std::size_t& pos, std::uint32_t& v) {
    if (pos > bytes.size() || bytes.size() - pos < 4) return false;
    v = 0;
    for (int i = 0; i < 4; ++i)
        v |= static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[pos + i])) << (8 * i);
    pos += 4;
    return true;
}

std::size_t PicturesBytes(const std::vector<CoverBytes>& pictures) {
    std::size_t total = 0;
    for (const CoverBytes& p : pictures) total += p ? p->size() : 0;
    return total;
}

bool ReadWholeFile(const std::filesystem::path& path, std::string& out) {
    return ReadSmallFile(path, 0, kFileMost, out) == SmallFileRead::kRead;
}

}  // namespace

std::string FormatCoverCacheFile(const std::string& key, const std::vector<CoverBytes>& pictures) {
    std::string out;
    out.reserve(kMagic.size() + 8 + key.size() + PicturesBytes(pictures) + 4 * pictures.size() + 4);
    out += kMagic;
    PutU32(out, static_cast<std::uint32_t>(key.size()));
    out += key;
    PutU32(out, static_cast<std::uint32_t>(pictures.size()));
    for (const CoverBytes& p : pictures) {
        PutU32(out, static_cast<std::uint32_t>(p->size()));
        out.append(reinterpret_cast<const char*>(p->data()), p->size());
    }
    PutU32(out, Checksum(out));
    return out;
}

bool ParseCoverCacheFile(std::string_view bytes, const std::string& key, std::vector<CoverBytes>& out) {
    out.clear();
    if (bytes.size() < kMagic.size() + 12 || bytes.substr(0, kMagic.size()) != kMagic) return false;
    std::size_t end = bytes.size() - 4;
    std::uint32_t sum = 0;
    if (!GetU32(bytes, end, sum) || sum != Checksum(bytes.substr(0, bytes.size() - 4))) return false;
    const std::string_view body = bytes.substr(0, bytes.size() - 4);
    std::size_t pos = kMagic.size();
    std::uint32_t keySize = 0;
    std::uint32_t count = 0;
    if (!GetU32(body, pos, keySize) || keySize != key.size() || body.size() - pos < keySize) return false;
    if (body.substr(pos, keySize) != key) return false;  // another title with the same file name
    pos += keySize;
    if (!GetU32(body, pos, count) || count < 1 || count > MAX_COVERS) return false;
    std::vector<CoverBytes> pictures;
    try {
        for (std::uint32_t i = 0; i < count; ++i) {
            std::uint32_t size = 0;
            if (!GetU32(body, pos, size) || body.size() - pos < size) return false;
            const auto* data = reinterpret_cast<const std::uint8_t*>(body.data() + pos);
            if (size < kPictureMinimumBytes || size > kPictureLimitBytes || !HasPictureSignature(data, size))
                return false;
            pictures.push_back(std::make_shared<const std::vector<std::uint8_t>>(data, data + size));
            pos += size;
        }
    } catch (const std::bad_alloc&) {
        return false;
    }
    if (pos != body.size()) return false;
    out = std::move(pictures);
    return true;
}

void CoverCache::SetFolder(const std::filesystem::path& folder, std::size_t diskBytes) {
    folder_ = folder;
    diskLimit_ = diskBytes;
    if (!folder_.empty()) {
        std::error_code ec;
        std::filesystem::create_directories(folder_, ec);
    }
}

std::filesystem::path CoverCache::FileFor(const std::string& key) const {
    static constexpr char kHex[] = "0123456789abcdef";
    const std::uint64_t hash = Fnv1a64(key);
    std::string name(16, '0');
    for (int i = 0; i < 16; ++i) name[15 - i] = kHex[(hash >> (4 * i)) & 0xF];
    return folder_ / (name + std::string(kExtension));
}

bool CoverCache::Find(const std::string& key, std::vector<CoverBytes>& out) {
    out.clear();
    {
        std::lock_guard<std::mutex> hold(lock_);
        const auto it = index_.find(key);
        if (it != index_.end()) {
            order_.splice(order_.begin(), order_, it->second);  // now the most recently used
            out = it->second->pictures;
            return true;
        }
    }
    if (folder_.empty()) return false;
    try {
        if (!LoadFile(key, out)) return false;
        std::lock_guard<std::mutex> hold(lock_);
        Remember(key, out);
    } catch (const std::bad_alloc&) {
        // Shown from the file all the same; kept in memory next time.
    }
    return !out.empty();
}

void CoverCache::Store(const std::string& key, const std::vector<CoverBytes>& pictures) {
    if (key.empty() || key.size() > kKeyMost || pictures.empty() || pictures.size() > MAX_COVERS) return;
    for (const CoverBytes& p : pictures) {
        if (!p || p->empty()) return;
    }
    try {
        {
            std::lock_guard<std::mutex> hold(lock_);
            Remember(key, pictures);
        }
        if (!folder_.empty()) SaveFile(key, pictures);
    } catch (const std::bad_alloc&) {
        // Not kept: the next search for the title asks the sources again.
    }
}

void CoverCache::Remember(const std::string& key, const std::vector<CoverBytes>& pictures) {
    const auto old = index_.find(key);
    if (old != index_.end()) {
        bytes_ -= old->second->bytes;
        order_.erase(old->second);
        index_.erase(old);
    }
    const std::size_t size = PicturesBytes(pictures) + key.size();
    if (size > limit_) return;
    while (!order_.empty() && bytes_ + size > limit_) {
        bytes_ -= order_.back().bytes;
        index_.erase(order_.back().key);
        order_.pop_back();
    }
    order_.push_front(Entry{key, pictures, size});
    index_[key] = order_.begin();
    bytes_ += size;
}

std::size_t CoverCache::Bytes() const {
    std::lock_guard<std::mutex> hold(lock_);
    return bytes_;
}

std::size_t CoverCache::Entries() const {
    std::lock_guard<std::mutex> hold(lock_);
    return order_.size();
}

bool CoverCache::LoadFile(const std::string& key, std::vector<CoverBytes>& out) const {
    const std::filesystem::path path = FileFor(key);
    std::string bytes;
    try {
        if (!ReadWholeFile(path, bytes)) return false;
    } catch (const std::bad_alloc&) {
        return false;
    }
    if (!ParseCoverCacheFile(bytes, key, out)) return false;
    // Used again: the folder's trimming removes the files used longest ago first.
    std::error_code ec;
    std::filesystem::last_write_time(path, std::filesystem::file_time_type::clock::now(), ec);
    return true;
}

void CoverCache::SaveFile(const std::string& key, const std::vector<CoverBytes>& pictures) const {
    const std::string bytes = FormatCoverCacheFile(key, pictures);
    if (bytes.size() > diskLimit_) return;
    std::lock_guard<std::mutex> hold(diskLock_);
    const std::filesystem::path target = FileFor(key);
    const std::filesystem::path temp = TempFileBeside(target);
    if (!WriteNewFileDurably(temp, bytes)) return;
    if (!ReplaceFileAtomically(temp, target)) {
        std::error_code ec;
        std::filesystem::remove(temp, ec);
        return;
    }
    TrimFolder();
}

void CoverCache::TrimFolder() const {
    struct Kept {
        std::filesystem::path path;
        std::filesystem::file_time_type time;
        std::uintmax_t size;
    };
    std::vector<Kept> files;
    std::uintmax_t total = 0;
    std::error_code ec;
    std::filesystem::directory_iterator it(folder_, ec);
    // Only the cache's own files are counted and removed; anything else in the folder is left.
    for (int seen = 0; !ec && it != std::filesystem::directory_iterator() && seen < 100000; ++seen) {
        const std::filesystem::path& path = it->path();
        std::error_code fileEc;
        if (path.extension() == kExtension && it->is_regular_file(fileEc)) {
            const std::uintmax_t size = it->file_size(fileEc);
            const auto time = it->last_write_time(fileEc);
            if (!fileEc) {
                files.push_back({path, time, size});
                total += size;
            }
        }
        it.increment(ec);
    }
    if (total <= diskLimit_) return;
    std::sort(files.begin(), files.end(), [](const Kept& a, const Kept& b) { return a.time < b.time; });
    for (const Kept& file : files) {
        if (total <= diskLimit_) break;
        std::error_code removeEc;
        if (std::filesystem::remove(file.path, removeEc)) total -= file.size;
    }
}
