#include "screen/grab_worker.h"

#include <atomic>
#include <deque>
#include <utility>

namespace vemo::screen {
namespace {

std::atomic<int> abandoned_threads{0};

}  // namespace

void GrabInterrupt::Raise() {
    {
        std::lock_guard lock(mutex_);
        raised_ = true;
    }
    changed_.notify_all();
}

void GrabInterrupt::Clear() {
    std::lock_guard lock(mutex_);
    raised_ = false;
}

bool GrabInterrupt::raised() const {
    std::lock_guard lock(mutex_);
    return raised_;
}

bool GrabInterrupt::Pause(int milliseconds) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, std::chrono::milliseconds(milliseconds), [this] { return raised_; });
    return !raised_;
}

// What the thread and its owner share. A thread left behind keeps it alive.
struct GrabWorker::Shared {
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<Job> jobs;
    bool posted_waiting = false;  // the last job queued is a posted one, not begun
    bool quit = false;
    bool abandoned = false;
};

GrabWorker::GrabWorker()
    : shared_(std::make_shared<Shared>()), thread_([shared = shared_] { Loop(shared); }) {}

GrabWorker::~GrabWorker() {
    if (!thread_.joinable()) return;
    {
        std::lock_guard lock(shared_->mutex);
        shared_->quit = true;
        shared_->jobs.clear();
    }
    shared_->changed.notify_all();
    thread_.join();
}

void GrabWorker::Loop(const std::shared_ptr<Shared>& shared) {
    for (;;) {
        Job job;
        {
            std::unique_lock lock(shared->mutex);
            shared->changed.wait(lock, [&] { return shared->quit || !shared->jobs.empty(); });
            if (shared->quit) break;
            job = std::move(shared->jobs.front());
            shared->jobs.pop_front();
            if (shared->jobs.empty()) shared->posted_waiting = false;
        }
        job();
    }
    std::lock_guard lock(shared->mutex);
    if (shared->abandoned) --abandoned_threads;
}

bool GrabWorker::Queue(Shared& shared, Job job) {
    {
        std::lock_guard lock(shared.mutex);
        if (shared.quit) return false;
        shared.jobs.push_back(std::move(job));
        shared.posted_waiting = false;
    }
    shared.changed.notify_all();
    return true;
}

bool GrabWorker::Run(Job job, std::chrono::milliseconds bound) {
    // Shared with the job, which may outlive this call.
    struct Completion {
        std::mutex mutex;
        std::condition_variable ended;
        bool done = false;
    };
    auto completion = std::make_shared<Completion>();
    const bool queued = Queue(*shared_, [job = std::move(job), completion] {
        job();
        {
            std::lock_guard done_lock(completion->mutex);
            completion->done = true;
        }
        completion->ended.notify_all();
    });
    if (!queued) return false;

    std::unique_lock lock(completion->mutex);
    const auto done = [&] { return completion->done; };
    if (bound == kForever) {
        completion->ended.wait(lock, done);
        return true;
    }
    return completion->ended.wait_for(lock, bound, done);
}

void GrabWorker::Post(Job job) {
    {
        std::lock_guard lock(shared_->mutex);
        if (shared_->quit || shared_->posted_waiting) return;
        shared_->jobs.push_back(std::move(job));
        shared_->posted_waiting = true;
    }
    shared_->changed.notify_all();
}

std::function<void(GrabWorker::Job)> GrabWorker::Queuer() const {
    return [shared = shared_](Job job) { Queue(*shared, std::move(job)); };
}

void GrabWorker::DropPosted() {
    std::lock_guard lock(shared_->mutex);
    if (shared_->posted_waiting) {
        shared_->jobs.pop_back();
        shared_->posted_waiting = false;
    }
}

void GrabWorker::Abandon() {
    if (!thread_.joinable()) return;
    {
        std::lock_guard lock(shared_->mutex);
        shared_->quit = true;
        shared_->abandoned = true;
        shared_->jobs.clear();
        ++abandoned_threads;
    }
    shared_->changed.notify_all();
    thread_.detach();
}

int GrabWorker::abandoned_running() {
    return abandoned_threads.load();
}

}  // namespace vemo::screen
