// A few threads that make the answers that may take long (history queries and exports), so that
// the server's loop never waits for them. The queue is bounded: a job beyond it is refused at
// once, and the caller answers "busy" instead of waiting.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>

class AnswerWorkers {
public:
    AnswerWorkers(std::size_t threads, std::size_t queued);
    ~AnswerWorkers();
    AnswerWorkers(const AnswerWorkers&) = delete;
    AnswerWorkers& operator=(const AnswerWorkers&) = delete;

    // Queues job for the next free thread (started when first needed). False when threads +
    // queued jobs are already queued or under way, when no thread can start, or after Stop.
    bool Offer(std::function<void()> job);
    // Drops the jobs not begun and ends the threads, waiting at most waitMs for the jobs under
    // way. Returns whether every thread ended; the others are left to end on their own (they
    // keep only their own state alive).
    bool Stop(int waitMs);

    struct State;  // shared with the threads, so that one left running keeps it alive

private:
    std::shared_ptr<State> state_;
};
