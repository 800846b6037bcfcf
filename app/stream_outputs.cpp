#include "app/stream_outputs.hpp"

#include "app/window_state.hpp"
#include "common/text.hpp"
#include "platform/file_replace.hpp"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>

std::filesystem::path ResolveOutputPath(const std::filesystem::path& folder, std::string_view configured) {
    if (configured.empty()) return {};
    // From char8_t the path takes the text as UTF-8 on every platform; from char, Windows would
    // read it in the ANSI code page.
    const std::filesystem::path file(std::u8string(configured.begin(), configured.end()));
    return folder / file;  // an absolute path replaces the folder
}

std::string OutputTitleText(std::u16string_view title) {
    if (title == kLoadingTitle || title == u"Connecting...") return {};
    std::string text = Utf16ToUtf8(title);
    for (char& c : text) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = ' ';
    }
    return text;
}

struct StreamOutputs::Shared {
    std::filesystem::path titleFile;
    std::filesystem::path coverFile;

    std::mutex lock;
    std::condition_variable wake;     // a request or the stop
    std::condition_variable settled;  // nothing waiting and nothing being written; or ended
    std::optional<std::string> title;     // guarded by lock: waiting for the writer
    std::optional<CoverBytes> cover;      // guarded by lock: waiting; a null picture removes
    bool writing = false;                 // guarded by lock
    bool stop = false;                    // guarded by lock
    bool ended = false;                   // guarded by lock
};

namespace {

// Replaces file with bytes in one step; false when the file was not replaced.
bool ReplaceWith(const std::filesystem::path& file, std::string_view bytes) {
    const std::filesystem::path temp = TempFileBeside(file);
    if (!WriteNewFileDurably(temp, bytes)) return false;
    if (ReplaceFileAtomically(temp, file)) return true;
    std::error_code ignored;
    std::filesystem::remove(temp, ignored);
    return false;
}

void RunWriter(const std::shared_ptr<StreamOutputs::Shared>& shared);

}  // namespace

StreamOutputs::StreamOutputs(std::filesystem::path titleFile, std::filesystem::path coverFile)
    : shared_(std::make_shared<Shared>()) {
    shared_->titleFile = std::move(titleFile);
    shared_->coverFile = std::move(coverFile);
    if (shared_->titleFile.empty() && shared_->coverFile.empty()) {
        shared_->ended = true;  // nothing to write: no thread
        return;
    }
    if (!shared_->titleFile.empty()) shared_->title = std::string();
    if (!shared_->coverFile.empty()) shared_->cover = CoverBytes();
    try {
        std::thread(RunWriter, shared_).detach();
    } catch (...) {
        // No thread, no files: the program runs on without them.
        std::lock_guard<std::mutex> hold(shared_->lock);
        shared_->ended = true;
        shared_->title.reset();
        shared_->cover.reset();
    }
}

StreamOutputs::~StreamOutputs() { Stop(kStopWaitMs); }

void StreamOutputs::PublishTitle(std::string text) {
    if (shared_->titleFile.empty() || text == lastTitle_) return;
    lastTitle_ = text;
    std::lock_guard<std::mutex> hold(shared_->lock);
    if (shared_->ended || shared_->stop) return;
    shared_->title = std::move(text);
    shared_->wake.notify_one();
}

void StreamOutputs::PublishCover(CoverBytes picture) {
    if (shared_->coverFile.empty() || picture == lastCover_) return;
    lastCover_ = picture;
    std::lock_guard<std::mutex> hold(shared_->lock);
    if (shared_->ended || shared_->stop) return;
    shared_->cover = std::move(picture);
    shared_->wake.notify_one();
}

bool StreamOutputs::WaitIdle(int timeoutMs) {
    std::unique_lock<std::mutex> hold(shared_->lock);
    return shared_->settled.wait_for(hold, std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs), [this] {
        return shared_->ended || (!shared_->writing && !shared_->title && !shared_->cover);
    });
}

void StreamOutputs::Stop(int timeoutMs) {
    std::unique_lock<std::mutex> hold(shared_->lock);
    shared_->stop = true;
    shared_->wake.notify_one();
    shared_->settled.wait_for(hold, std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs),
                              [this] { return shared_->ended; });
}

namespace {

void RunWriter(const std::shared_ptr<StreamOutputs::Shared>& shared) {
    std::unique_lock<std::mutex> hold(shared->lock);
    for (;;) {
        shared->wake.wait(hold, [&] { return shared->stop || shared->title || shared->cover; });
        if (!shared->title && !shared->cover) break;  // stopped with nothing left to write
        std::optional<std::string> title = std::exchange(shared->title, std::nullopt);
        std::optional<CoverBytes> cover = std::exchange(shared->cover, std::nullopt);
        shared->writing = true;
        hold.unlock();
        // Failures are silent: the next change writes again.
        if (title) ReplaceWith(shared->titleFile, *title);
        if (cover && *cover) {
            const std::vector<std::uint8_t>& bytes = **cover;
            ReplaceWith(shared->coverFile, {reinterpret_cast<const char*>(bytes.data()), bytes.size()});
        } else if (cover) {
            std::error_code ignored;
            std::filesystem::remove(shared->coverFile, ignored);
        }
        hold.lock();
        shared->writing = false;
        shared->settled.notify_all();
    }
    shared->ended = true;
    shared->settled.notify_all();
}

}  // namespace
