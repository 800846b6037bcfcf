// The one store of cover pictures for the title on air, with the cover lock and its operations.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string_view>
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

// At most this many search threads are alive at once. A search that finds them all busy (every
// one of them then works for a stale search and is being cancelled) waits for the first to end,
// which takes it on.
constexpr int kMaxCoverWorkers = 3;

struct CoverSet {
    // The cover lock: guards slots, count, currentIndex, imageId, query, imagesEnabled,
    // imagesSwitchUnsaved.
    std::mutex lock;
    CoverSlot slots[MAX_COVERS];
    std::int32_t count = 0;
    std::int32_t currentIndex = 0;
    std::int32_t imageId = 0;  // moved only by BumpImageId
    std::atomic<std::int32_t> generation{0};  // incremented under the lock, read without it
    std::atomic<std::int32_t> searching{0};
    bool imagesEnabled = true;
    // A pictures switch was made whose save is still to come (see web/picture_switch).
    bool imagesSwitchUnsaved = false;
    char16_t query[512] = {};
    // Where the worker finds the results page ("https://.../images/async"); set once at start-up.
    char imageSearchUrl[256] = {};

    // The search threads. workerLock guards the fields below and makes "is this still the newest
    // search?" and a change of `searching` one step. It is never taken while `lock` is held, nor
    // the other way round.
    std::mutex workerLock;
    std::condition_variable workersChanged;          // a search or a thread ended
    std::atomic<std::int32_t> workerGeneration{0};  // the newest search, running or waiting for a thread
    std::int32_t pendingGeneration = 0;             // the newest search while it waits for a thread; 0: none
    bool newestRunning = false;                     // the newest search has not ended yet
    bool stopping = false;                          // shutdown: no search starts any more
    std::atomic<std::int32_t> liveWorkers{0};       // search threads that may still touch this set

    // The sources after the image search, the cache and the logo; set once at start-up, before
    // the first search (null: the image search alone, as designed). Outlives every worker.
    CoverSources* sources = nullptr;

    // Hooks for tests; set before the first search and left alone afterwards. Null means the real
    // thing: OpenHttpSession, and a detached std::thread. endSearchHook runs inside the step that
    // ends a search (workerLock held; it must not take it).
    CoverSessionFactory sessionFactory;
    CoverThreadStarter startThread;
    std::function<void()> endSearchHook;
};

// Empty set, pictures as given, generation incremented once (so it starts at 1). The server may
// read the set as soon as it starts, so it is set up with the configured pictures switch.
void InitCoverSet(CoverSet& set, bool imagesEnabled = true);

void StartCoverSearch(CoverSet& set, std::u16string_view title);
void SetImagesEnabled(CoverSet& set, bool on);
void ClearCovers(CoverSet& set);
void FreeCoverSlots(CoverSet& set);  // the caller holds set.lock
void RotateCover(CoverSet& set);

// The id after id: counts up through the positive values and wraps from the largest to 1, so it
// never overflows and never takes 0 (what readers report for "no picture") or a negative value.
std::int32_t NextImageId(std::int32_t id);
// Moves imageId on (the caller holds set.lock): every change of what may be shown calls this.
void BumpImageId(CoverSet& set);

// The picture on show. Any output may be null. Returns false (outputs untouched except imageId,
// which is always reported when asked for) when no picture is on show.
bool GetCurrentCover(CoverSet& set, CoverBytes* bytes, std::uint32_t* size, std::int32_t* imageId);

// Waits at most timeoutMs for the newest search to end (including one still waiting for a
// thread). Returns true when it is not running any more.
bool WaitForCoverWorker(CoverSet& set, int timeoutMs);

// Shutdown: cancels every search (a worker in the middle of a transfer drops it), starts no
// more, and waits at most timeoutMs in all for every search thread to end. Returns true when
// none is left; one still running afterwards touches nothing but this set, which lives on.
bool StopCoverSearches(CoverSet& set, int timeoutMs);

// Sets where the worker asks for results pages (empty: the built-in Bing address).
void SetImageSearchUrl(CoverSet& set, std::string_view url);
