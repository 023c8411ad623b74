#pragma once

// The thread screen capture talks to the X server on, so that a grab, with
// its pauses, never holds up the thread that asked for it; and the flag that
// cuts a running grab short.

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace vemo::screen {

// Raised to end a running grab after the file being written: its pauses end
// at once and it writes nothing more.
class GrabInterrupt {
  public:
    void Raise();
    void Clear();
    bool raised() const;

    // Sleeps `milliseconds` unless raised first; false when raised.
    bool Pause(int milliseconds);

  private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    bool raised_ = false;
};

// Runs jobs one at a time, in the order given, on a thread of its own.
class GrabWorker {
  public:
    using Job = std::function<void()>;
    static constexpr std::chrono::milliseconds kForever = std::chrono::milliseconds::max();

    GrabWorker();
    // Waits for the running job; jobs not begun are dropped.
    ~GrabWorker();
    GrabWorker(const GrabWorker&) = delete;
    GrabWorker& operator=(const GrabWorker&) = delete;

    // Runs `job` after the jobs queued before it and waits at most `bound`
    // for it to end. False when it did not: it still runs or is to run, so
    // it may only touch what it owns.
    bool Run(Job job, std::chrono::milliseconds bound);

    // Queues `job` without waiting for it. While a posted job waits to
    // begin, further posts are merged into it, as a window system merges
    // timer ticks.
    void Post(Job job);

    // Queues jobs from any thread without waiting for them, after the jobs
    // queued before and never merged. Usable after the worker's end, which
    // drops them.
    std::function<void(Job)> Queuer() const;

    // Drops the posted job that has not begun, if any.
    void DropPosted();

    // Leaves the thread behind, stuck in its job (a call to an X server that
    // does not answer): it ends by itself should the job ever return, and
    // runs nothing else. The worker is then of no further use.
    void Abandon();

    // Threads left behind by Abandon that have not ended yet.
    static int abandoned_running();

  private:
    struct Shared;
    static void Loop(const std::shared_ptr<Shared>& shared);
    // Queues `job` after the others, unmerged; false once the worker quit.
    static bool Queue(Shared& shared, Job job);

    std::shared_ptr<Shared> shared_;
    std::thread thread_;
};

}  // namespace vemo::screen
