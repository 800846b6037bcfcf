// The cover set's operations. Lock rules: `lock` guards the pictures, the counters, the query
// and the pictures switch; `generation` moves only under it. `workerLock` guards the handle of
// the newest worker. Neither is held while the other is taken, and neither during a transfer.
#include "covers/cover_set.hpp"

#include "common/text.hpp"
#include "covers/cover_search.hpp"
#include "platform/main_window.hpp"

#include <chrono>
#include <condition_variable>
#include <system_error>
#include <utility>

struct CoverWorkerState {
    std::mutex lock;
    std::condition_variable ended;
    bool done = false;

    void MarkDone() {
        std::lock_guard<std::mutex> hold(lock);
        done = true;
        ended.notify_all();
    }
};

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

// Starts the worker for generation g and makes it the newest. A caller that lost the race to a
// newer search starts nothing: its worker would only end at once and could clear `searching`
// under the newer one.
void StartWorker(CoverSet& set, std::int32_t g) {
    bool failed = false;
    {
        std::lock_guard<std::mutex> hold(set.workerLock);
        const std::int32_t newest = set.workerGeneration.load();
        if (newest != 0 && static_cast<std::int32_t>(static_cast<std::uint32_t>(g) - static_cast<std::uint32_t>(newest)) < 0) {
            return;
        }
        set.worker.reset();  // the earlier worker is not waited for; it ends once it sees g move on
        set.workerGeneration.store(g);
        set.searching.exchange(1);

        auto state = std::make_shared<CoverWorkerState>();
        CoverSessionFactory factory = set.sessionFactory;
        set.liveWorkers.fetch_add(1);
        std::function<void()> body = [&set, g, factory = std::move(factory), state] {
            CoverSearchWorker(set, g, factory);
            state->MarkDone();
            set.liveWorkers.fetch_sub(1);  // the last touch of the set
        };
        const bool started = set.startThread ? set.startThread(std::move(body)) : StartDetachedThread(std::move(body));
        if (started) {
            set.worker = std::move(state);
        } else {
            set.liveWorkers.fetch_sub(1);
            set.searching.exchange(0);
            failed = true;
        }
    }
    // No worker will clear "Searching image...", so the window hears it from here.
    if (failed) PostToMainWindow(MSG_COVERS_CHANGED, 0);
}

}  // namespace

void InitCoverSet(CoverSet& set) {
    {
        std::lock_guard<std::mutex> hold(set.lock);
        FreeCoverSlots(set);
        set.imageId = 0;
        set.imagesEnabled = true;
        set.query[0] = u'\0';
        set.generation.fetch_add(1);
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
        ++set.imageId;
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
            ++set.imageId;
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
        ++set.imageId;
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
        ++set.imageId;
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
    std::shared_ptr<CoverWorkerState> state;
    {
        std::lock_guard<std::mutex> hold(set.workerLock);
        state = set.worker;
    }
    if (!state) return true;
    bool done = false;
    {
        std::unique_lock<std::mutex> hold(state->lock);
        done = state->ended.wait_for(hold, std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs),
                                     [&state] { return state->done; });
    }
    std::lock_guard<std::mutex> hold(set.workerLock);
    if (set.worker == state) set.worker.reset();  // closed and forgotten, as after any wait
    return done;
}
