// The one store of cover pictures for the title on air, with the cover lock and its operations.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string_view>
#include <thread>
#include <vector>

constexpr int MAX_COVERS = 8;

// A picture's bytes exactly as downloaded. Shared and immutable once published, so a reader that
// holds one keeps it valid after the slot was freed.
using CoverBytes = std::shared_ptr<const std::vector<std::uint8_t>>;

struct CoverSlot {
    CoverBytes data;        // null for an empty slot
    std::uint32_t size = 0; // valid bytes in data
};

class HttpSession;
struct CoverSources;

// Where a search worker gets its HTTP session (null result: the search ends without pictures).
using CoverSessionFactory = std::function<std::unique_ptr<HttpSession>(const char* userAgent)>;
// Runs body on a new thread that nobody joins; false when no thread could be started.
using CoverThreadStarter = std::function<bool(std::function<void()> body)>;
// Completion of one search worker, shared by the worker and the set (see WaitForCoverWorker).
struct CoverWorkerState;

struct CoverSet {
    std::mutex lock;  // the cover lock: guards slots, count, currentIndex, imageId, query, imagesEnabled
    CoverSlot slots[MAX_COVERS];
    std::int32_t count = 0;
    std::int32_t currentIndex = 0;
    std::int32_t imageId = 0;
    std::atomic<std::int32_t> generation{0};  // incremented under the lock, read without it
    std::atomic<std::int32_t> searching{0};
    bool imagesEnabled = true;
    char16_t query[512] = {};
    // Where the worker finds the results page ("https://.../images/async"); set once at start-up.
    char imageSearchUrl[256] = {};

    // The most recently started worker. workerLock makes closing the previous one and storing the
    // new one a step of one caller at a time; it is never taken while `lock` is held, nor the
    // other way round.
    std::mutex workerLock;
    std::shared_ptr<CoverWorkerState> worker;       // guarded by workerLock
    std::atomic<std::int32_t> workerGeneration{0};  // the generation `worker` was started for
    std::atomic<std::int32_t> liveWorkers{0};       // workers that may still touch this set

    // The sources after the image search, the cache and the logo; set once at start-up, before
    // the first search (null: the image search alone, as designed). Outlives every worker.
    CoverSources* sources = nullptr;

    // Hooks for tests; set before the first search and left alone afterwards. Null means the real
    // thing: OpenHttpSession, and a detached std::thread.
    CoverSessionFactory sessionFactory;
    CoverThreadStarter startThread;
};

// Empty set, pictures on, generation incremented once (so it starts at 1).
void InitCoverSet(CoverSet& set);

void StartCoverSearch(CoverSet& set, std::u16string_view title);
void SetImagesEnabled(CoverSet& set, bool on);
void ClearCovers(CoverSet& set);
void FreeCoverSlots(CoverSet& set);  // the caller holds set.lock
void RotateCover(CoverSet& set);

// The picture on show. Any output may be null. Returns false (outputs untouched except imageId,
// which is always reported when asked for) when no picture is on show.
bool GetCurrentCover(CoverSet& set, CoverBytes* bytes, std::uint32_t* size, std::int32_t* imageId);

// Waits at most timeoutMs for the last search worker to end (shutdown). Returns true when none
// is running any more. A worker still running afterwards only touches state it shares ownership of.
bool WaitForCoverWorker(CoverSet& set, int timeoutMs);

// Sets where the worker asks for results pages (empty: the built-in Bing address).
void SetImageSearchUrl(CoverSet& set, std::string_view url);
