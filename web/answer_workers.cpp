#include "web/answer_workers.hpp"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

struct AnswerWorkers::State {
    std::mutex lock;  // guards everything below
    std::condition_variable wake;   // a job came, or stop
    std::condition_variable ended;  // a thread left
    std::deque<std::function<void()>> jobs;
    std::vector<std::thread> threads;
    std::size_t maxThreads = 1;
    std::size_t maxQueued = 1;
    std::size_t idle = 0;
    std::size_t alive = 0;
    std::size_t outstanding = 0;  // jobs queued or under way
    bool stopping = false;
};

namespace {

void WorkerMain(std::shared_ptr<AnswerWorkers::State> state) {
    std::unique_lock<std::mutex> lock(state->lock);
    for (;;) {
        ++state->idle;
        state->wake.wait(lock, [&] { return state->stopping || !state->jobs.empty(); });
        --state->idle;
        if (state->stopping) break;
        std::function<void()> job = std::move(state->jobs.front());
        state->jobs.pop_front();
        lock.unlock();
        job();
        job = nullptr;  // what the job holds goes before the lock is taken again
        lock.lock();
        --state->outstanding;
    }
    --state->alive;
    state->ended.notify_all();
}

}  // namespace

AnswerWorkers::AnswerWorkers(std::size_t threads, std::size_t queued) : state_(std::make_shared<State>()) {
    state_->maxThreads = threads > 0 ? threads : 1;
    state_->maxQueued = queued > 0 ? queued : 1;
}

AnswerWorkers::~AnswerWorkers() { Stop(0); }

bool AnswerWorkers::Offer(std::function<void()> job) {
    std::lock_guard<std::mutex> guard(state_->lock);
    // Jobs under way count with those waiting, so the bound holds however soon the threads start.
    if (state_->stopping || state_->outstanding >= state_->maxThreads + state_->maxQueued) return false;
    if (state_->idle <= state_->jobs.size() && state_->threads.size() < state_->maxThreads) {
        try {
            state_->threads.emplace_back(WorkerMain, state_);
            ++state_->alive;
        } catch (const std::system_error&) {
            if (state_->threads.empty()) return false;  // nobody would ever take the job
        }
    }
    state_->jobs.push_back(std::move(job));
    ++state_->outstanding;
    state_->wake.notify_one();
    return true;
}

bool AnswerWorkers::Stop(int waitMs) {
    std::vector<std::thread> threads;
    bool ended;
    {
        std::unique_lock<std::mutex> lock(state_->lock);
        state_->stopping = true;
        state_->outstanding -= state_->jobs.size();
        state_->jobs.clear();
        state_->wake.notify_all();
        ended = state_->ended.wait_for(lock, std::chrono::milliseconds(waitMs > 0 ? waitMs : 0),
                                       [&] { return state_->alive == 0; });
        threads = std::move(state_->threads);
        state_->threads.clear();
    }
    for (std::thread& t : threads) {
        if (ended) t.join();
        else t.detach();
    }
    return ended;
}
