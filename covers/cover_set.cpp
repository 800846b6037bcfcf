// The cover set's operations. Lock rules: `lock` guards the pictures, the counters, the query
// and the pictures switch; `generation` moves only under it. `workerLock` guards which search is
// the newest, the waiting search and the thread count. Neither is held while the other is taken,
// and neither during a transfer.
#include "covers/cover_set.hpp"

#include "common/text.hpp"
#include "covers/cover_search.hpp"
#include "platform/main_window.hpp"

#include <chrono>
#include <limits>
#include <thread>
#include <system_error>
#include <utility>

namespace {

constexpr std::size_t kQueryUnits = 512;

bool IsPlaceholderTitle(std::u16string_view title) { return title == u"Loading..." || title == u"Connecting..."; }

bool StartDetachedThread(std::function<void()> body) {
    try {
        std::thread(std::move(body)).detach();
        return true;
    } catch (const std::system_error&) {
        return false;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

// True when generation a was started after b (the counters may wrap).
bool Newer(std::int32_t a, std::int32_t b) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) - static_cast<std::uint32_t>(b)) > 0;
}

// A search thread: runs the search it was started for, then, while one waits, the newest search
// that found every thread busy. The thread count stays bounded however fast titles change.
void RunSearches(CoverSet& set, std::int32_t g) {
    for (;;) {
        CoverSearchWorker(set, g, set.sessionFactory);
        std::lock_guard<std::mutex> hold(set.workerLock);
        if (g == set.workerGeneration.load()) set.newestRunning = false;
        if (set.pendingGeneration != 0 && !set.stopping) {
            g = set.pendingGeneration;
            set.pendingGeneration = 0;
            continue;
        }
        set.liveWorkers.fetch_sub(1);
        // Notified under the lock, so a waiter cannot see the count and go before this is done.
        set.workersChanged.notify_all();
        return;  // the last touch of the set
    }
}

// Starts the search of generation g on a thread of its own, or leaves it for the next thread
// that ends when kMaxCoverWorkers are busy. A caller that lost the race to a newer search starts
// nothing: its worker would only end at once.
void StartWorker(CoverSet& set, std::int32_t g) {
    bool failed = false;
    {
        std::lock_guard<std::mutex> hold(set.workerLock);
        const std::int32_t newest = set.workerGeneration.load();
        if (set.stopping || (newest != 0 && Newer(newest, g))) return;
        set.workerGeneration.store(g);
        set.newestRunning = true;
        set.searching.exchange(1);
        if (set.liveWorkers.load() >= kMaxCoverWorkers) {
            set.pendingGeneration = g;  // an older waiting search is dropped: it is stale anyway
            return;
        }
        set.pendingGeneration = 0;
        set.liveWorkers.fetch_add(1);
        std::function<void()> body = [&set, g] { RunSearches(set, g); };
        const bool started = set.startThread ? set.startThread(std::move(body)) : StartDetachedThread(std::move(body));
        if (!started) {
            set.liveWorkers.fetch_sub(1);
            set.searching.exchange(0);
            set.newestRunning = false;
            set.workersChanged.notify_all();
            failed = true;
        }
    }
    // No worker will clear "Searching image...", so the window hears it from here.
    if (failed) PostToMainWindow(MSG_COVERS_CHANGED, 0);
}

}  // namespace

std::int32_t NextImageId(std::int32_t id) {
    return id <= 0 || id == std::numeric_limits<std::int32_t>::max() ? 1 : id + 1;
}

void BumpImageId(CoverSet& set) { set.imageId = NextImageId(set.imageId); }

void InitCoverSet(CoverSet& set, bool imagesEnabled) {
    {
        std::lock_guard<std::mutex> hold(set.lock);
        FreeCoverSlots(set);
        set.imageId = 0;
        set.imagesEnabled = imagesEnabled;
        set.imagesSwitchUnsaved = false;
        set.query[0] = u'\0';
        set.generation.fetch_add(1);
    }
    {
        std::lock_guard<std::mutex> hold(set.workerLock);
        set.stopping = false;
        set.pendingGeneration = 0;
        set.newestRunning = false;
    }
    set.searching.store(0);
}

void SetImageSearchUrl(CoverSet& set, std::string_view url) {
    std::lock_guard<std::mutex> hold(set.lock);
    CopyText(set.imageSearchUrl, url);
}

void StartCoverSearch(CoverSet& set, std::u16string_view title) {
    if (title.empty() || IsPlaceholderTitle(title)) return;
    // Compared and stored as it will be kept: at most 511 units, never half a surrogate pair.
    char16_t cut[kQueryUnits];
    CopyTextWhole(cut, kQueryUnits, title);
    std::int32_t g = 0;
    {
        std::lock_guard<std::mutex> hold(set.lock);
        if (View(cut) == View(set.query) && set.count > 0) return;
        g = set.generation.fetch_add(1) + 1;
        CopyText(set.query, View(cut));
        FreeCoverSlots(set);
        BumpImageId(set);
        if (!set.imagesEnabled) return;
    }
    StartWorker(set, g);
}

void SetImagesEnabled(CoverSet& set, bool on) {
    bool changed = false;
    char16_t remembered[kQueryUnits] = {};
    {
        std::lock_guard<std::mutex> hold(set.lock);
        changed = set.imagesEnabled != on;
        set.imagesEnabled = on;
        if (!on) {
            set.generation.fetch_add(1);
            FreeCoverSlots(set);
            BumpImageId(set);
        } else if (changed) {
            CopyText(remembered, View(set.query));
        }
    }
    if (!changed) return;
    if (on && remembered[0] != u'\0') StartCoverSearch(set, View(remembered));
    PostToMainWindow(MSG_COVERS_CHANGED, 0);
}

void ClearCovers(CoverSet& set) {
    {
        std::lock_guard<std::mutex> hold(set.lock);
        set.generation.fetch_add(1);
        set.query[0] = u'\0';
        FreeCoverSlots(set);
        BumpImageId(set);
    }
    PostToMainWindow(MSG_COVERS_CHANGED, 0);
}

void FreeCoverSlots(CoverSet& set) {
    // Readers that took a picture through GetCurrentCover keep their own reference to it.
    for (CoverSlot& slot : set.slots) {
        slot.data.reset();
        slot.size = 0;
    }
    set.count = 0;
    set.currentIndex = 0;
}

void RotateCover(CoverSet& set) {
    std::lock_guard<std::mutex> hold(set.lock);
    if (set.imagesEnabled && set.count > 1) {
        set.currentIndex = (set.currentIndex + 1) % set.count;
        BumpImageId(set);
    }
}

bool GetCurrentCover(CoverSet& set, CoverBytes* bytes, std::uint32_t* size, std::int32_t* imageId) {
    std::lock_guard<std::mutex> hold(set.lock);
    if (imageId != nullptr) *imageId = set.imageId;
    if (set.count <= 0 || set.currentIndex >= set.count || !set.slots[set.currentIndex].data) return false;
    // The reference is taken under the lock, so the bytes and the id belong to the same picture,
    // and the bytes stay valid for the reader after the slot is freed.
    const CoverSlot& slot = set.slots[set.currentIndex];
    if (bytes != nullptr) *bytes = slot.data;
    if (size != nullptr) *size = slot.size;
    return true;
}

bool WaitForCoverWorker(CoverSet& set, int timeoutMs) {
    std::unique_lock<std::mutex> hold(set.workerLock);
    return set.workersChanged.wait_for(hold, std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs),
                                       [&set] { return !set.newestRunning; });
}

bool StopCoverSearches(CoverSet& set, int timeoutMs) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
    {
        std::lock_guard<std::mutex> hold(set.workerLock);
        set.stopping = true;
        if (set.pendingGeneration != 0) {  // the waiting search never runs
            set.pendingGeneration = 0;
            set.newestRunning = false;
            set.workersChanged.notify_all();
        }
    }
    {
        // Every worker's stale check (asked between its steps and during its transfers) fails.
        std::lock_guard<std::mutex> hold(set.lock);
        set.generation.fetch_add(1);
    }
    std::unique_lock<std::mutex> hold(set.workerLock);
    return set.workersChanged.wait_until(hold, end, [&set] { return set.liveWorkers.load() == 0; });
}
