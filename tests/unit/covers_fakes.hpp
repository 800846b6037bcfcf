// Fakes for the cover tests: a scripted HTTP session, a message recorder, picture bytes.
#pragma once

#include "common/text.hpp"
#include "covers/cover_search.hpp"
#include "covers/cover_set.hpp"
#include "platform/http_client.hpp"
#include "platform/main_window.hpp"

#include <atomic>
#include <chrono>
#include <functional>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace covers_test {

struct FakeAnswer {
    bool opens = true;
    bool statusKnown = true;
    std::uint32_t status = 200;
    std::string body;
    std::size_t chunk = 0;    // bytes per read at most; 0 = as many as asked
    int readDelayMs = 0;      // pause before each read
    bool failAfterBody = false;
    bool hangs = false;            // never answers: OpenUrl waits for the receive time-out
    std::function<void()> onOpen;  // runs when the request is opened
};

struct FakeRequestLog {
    std::string url;
    std::uint32_t flags = 0;
    std::size_t maxBody = 0;
    std::uint32_t connectMs = 0;
    std::uint32_t receiveMs = 0;
    std::size_t largestRead = 0;
    std::optional<HttpSession::Clock::time_point> deadline;
    bool cancellable = false;  // the session had a cancel check
};

// What a request of the fake session keeps of its session, as the real clients do: the cancel
// check and the deadline end a wait within a few milliseconds.
struct FakeLimits {
    std::function<bool()> cancelled;
    std::optional<HttpSession::Clock::time_point> deadline;

    bool Over() const {
        return (cancelled && cancelled()) || (deadline && HttpSession::Clock::now() >= *deadline);
    }
    // Waits ms unless the request is cancelled or its deadline passes; false then.
    bool Wait(int ms) const {
        const auto end = HttpSession::Clock::now() + std::chrono::milliseconds(ms);
        while (HttpSession::Clock::now() < end) {
            if (Over()) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return !Over();
    }
};

// The outside world as a table of URL -> answer. A URL holding "/images/async?" that is not in
// the table gets `page`.
class FakeWeb {
public:
    void Set(const std::string& url, FakeAnswer answer) {
        std::lock_guard<std::mutex> hold(lock_);
        answers_[url] = std::move(answer);
    }
    void SetPage(FakeAnswer answer) { Set("page", std::move(answer)); }
    std::vector<FakeRequestLog> Log() {
        std::lock_guard<std::mutex> hold(lock_);
        return log_;
    }
    std::vector<std::string> Agents() {
        std::lock_guard<std::mutex> hold(lock_);
        return agents_;
    }
    std::atomic<int> sessionsOpen{0};
    bool refuseSession = false;

    bool Find(const std::string& url, FakeAnswer& out, std::size_t& logIndex, const FakeRequestLog& entry) {
        std::lock_guard<std::mutex> hold(lock_);
        log_.push_back(entry);
        logIndex = log_.size() - 1;
        auto it = answers_.find(url);
        if (it == answers_.end() && url.find("/images/async?") != std::string::npos) it = answers_.find("page");
        if (it == answers_.end() || !it->second.opens) return false;
        out = it->second;
        return true;
    }
    void NoteRead(std::size_t index, std::size_t asked) {
        std::lock_guard<std::mutex> hold(lock_);
        if (index < log_.size() && asked > log_[index].largestRead) log_[index].largestRead = asked;
    }
    void NoteAgent(const char* agent) {
        std::lock_guard<std::mutex> hold(lock_);
        agents_.emplace_back(agent);
    }

private:
    std::mutex lock_;
    std::map<std::string, FakeAnswer> answers_;
    std::vector<FakeRequestLog> log_;
    std::vector<std::string> agents_;
};

class FakeRequest : public HttpRequest {
public:
    FakeRequest(std::shared_ptr<FakeWeb> web, FakeAnswer answer, std::size_t index, FakeLimits limits)
        : web_(std::move(web)), answer_(std::move(answer)), index_(index), limits_(std::move(limits)) {}
    bool QueryStatusCode(std::uint32_t& code) override {
        if (!answer_.statusKnown) return false;
        code = answer_.status;
        return true;
    }
    bool Read(void* buffer, std::size_t maxBytes, std::size_t& bytesRead) override {
        bytesRead = 0;
        web_->NoteRead(index_, maxBytes);
        if (!limits_.Wait(answer_.readDelayMs)) return false;
        if (offset_ >= answer_.body.size()) return !answer_.failAfterBody;
        std::size_t n = std::min(maxBytes, answer_.body.size() - offset_);
        if (answer_.chunk > 0) n = std::min(n, answer_.chunk);
        std::memcpy(buffer, answer_.body.data() + offset_, n);
        offset_ += n;
        bytesRead = n;
        return true;
    }

private:
    std::shared_ptr<FakeWeb> web_;
    FakeAnswer answer_;
    std::size_t index_;
    FakeLimits limits_;
    std::size_t offset_ = 0;
};

class FakeSession : public HttpSession {
public:
    explicit FakeSession(std::shared_ptr<FakeWeb> web) : web_(std::move(web)) { ++web_->sessionsOpen; }
    ~FakeSession() override { --web_->sessionsOpen; }
    void SetTimeouts(std::uint32_t connectMs, std::uint32_t receiveMs) override {
        connectMs_ = connectMs;
        receiveMs_ = receiveMs;
    }
    std::unique_ptr<HttpRequest> OpenUrl(const char* url, std::uint32_t flags, std::size_t maxBodyBytes) override {
        FakeRequestLog entry{url, flags, maxBodyBytes, connectMs_, receiveMs_, 0, Deadline(), bool(CancelCheck())};
        FakeAnswer answer;
        std::size_t index = 0;
        if (!web_->Find(url, answer, index, entry)) return nullptr;
        if (answer.onOpen) answer.onOpen();
        FakeLimits limits{CancelCheck(), Deadline()};
        if (answer.hangs) {
            limits.Wait(static_cast<int>(receiveMs_));
            return nullptr;
        }
        return std::make_unique<FakeRequest>(web_, std::move(answer), index, std::move(limits));
    }

private:
    std::shared_ptr<FakeWeb> web_;
    std::uint32_t connectMs_ = 0;
    std::uint32_t receiveMs_ = 0;
};

inline CoverSessionFactory FactoryFor(std::shared_ptr<FakeWeb> web) {
    return [web](const char* agent) -> std::unique_ptr<HttpSession> {
        web->NoteAgent(agent);
        if (web->refuseSession) return nullptr;
        return std::make_unique<FakeSession>(web);
    };
}

// Counts MSG_COVERS_CHANGED; lives for the process, as a message target must.
class Recorder : public MessageTarget {
public:
    bool Post(unsigned message, std::uintptr_t wParam) override {
        if (message == MSG_COVERS_CHANGED && wParam == 0) ++coversChanged;
        else ++other;
        return true;
    }
    std::atomic<int> coversChanged{0};
    std::atomic<int> other{0};
};

inline Recorder& InstallRecorder() {
    static Recorder* recorder = new Recorder;
    recorder->coversChanged = 0;
    recorder->other = 0;
    SetMainWindowTarget(recorder);
    return *recorder;
}

// Bytes of a picture of the given kind, with tag inside so a test can tell pictures apart.
inline std::string PictureBytes(const std::string& kind, const std::string& tag, std::size_t size = 2048) {
    std::string head;
    if (kind == "jpeg") head = std::string("\xFF\xD8\xFF\xE0", 4);
    else if (kind == "png") head = std::string("\x89PNG\r\n\x1a\n", 8);
    else if (kind == "webp") head = std::string("RIFF\0\0\0\0WEBPVP8 ", 16);
    else if (kind == "gif") head = "GIF89a";
    else head = "<!DOCTYPE html><html>";
    std::string bytes = head + "tag:" + tag + ";";
    if (bytes.size() < size) bytes.append(size - bytes.size(), '\0');
    return bytes;
}

inline std::string EntityItem(const std::string& url) {
    return "<a m=\"{&quot;murl&quot;:&quot;" + url + "&quot;,&quot;turl&quot;:&quot;x&quot;}\"></a>\n";
}

inline std::string CoverText(const CoverBytes& bytes) {
    return bytes ? std::string(reinterpret_cast<const char*>(bytes->data()), bytes->size()) : std::string();
}

// A set that is never destroyed: a worker that is late never touches freed memory.
inline CoverSet& LeakedSet() {
    static std::vector<CoverSet*>* kept = new std::vector<CoverSet*>;  // reachable, so not reported
    static std::mutex keptLock;
    CoverSet* set = new CoverSet;
    InitCoverSet(*set);
    std::lock_guard<std::mutex> hold(keptLock);
    kept->push_back(set);
    return *set;
}

inline bool RunInline(std::function<void()> body) {
    body();
    return true;
}

}  // namespace covers_test
