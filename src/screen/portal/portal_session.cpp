// A portal session's thread: the handshake on the session's own main
// context, a plain start when the portal no longer honours the kept token,
// and the watch for the session's end until the owner closes it.

#include "screen/portal/portal_session.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <utility>

#include "screen/portal/portal_session_state.h"

namespace vemo::screen {

std::string PortalSenderPart(std::string_view unique_name) {
    std::string part(unique_name.substr(unique_name.starts_with(':') ? 1 : 0));
    std::replace(part.begin(), part.end(), '.', '_');
    return part;
}

std::string PortalRequestPath(std::string_view unique_name, std::string_view handle_token) {
    return std::string(kPortalPath) + "/request/" + PortalSenderPart(unique_name) + "/" +
           std::string(handle_token);
}

struct PortalSession::Runner {
    Runner(const PortalLimits& l, Answered hook) : limits(l), on_answer(std::move(hook)) {}

    void Run(const std::string& token);
    State::Outcome Attempt(const std::string& token, std::string& why);
    // Wakes the thread from its wait on the context, to see `stop`.
    void Wake();

    const PortalLimits limits;
    const Answered on_answer;
    std::atomic<bool> stop{false};

    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    // The thread's until the answer; after it, fixed.
    std::unique_ptr<State> state;
    bool answered = false;
    bool started = false;
    std::string error;

    std::thread thread;  // last: it uses the members above
};

PortalSession::State::Outcome PortalSession::Runner::Attempt(const std::string& token,
                                                             std::string& why) {
    auto attempt = std::make_unique<State>(limits, stop);
    std::unique_ptr<State> previous;
    {
        const std::lock_guard lock(mutex);
        previous = std::exchange(state, std::move(attempt));
    }
    previous.reset();
    const ThreadDefaultContext scope(state->context.get());
    state->deadline = Clock::now() + limits.handshake;
    return state->Handshake(token, why);
}

void PortalSession::Runner::Run(const std::string& token) {
    std::string failure;
    State::Outcome outcome = Attempt(token, failure);
    if (outcome == State::Outcome::kTokenRefused) {
        // A token the portal no longer honours: a plain start instead, which
        // may ask the user.
        state->Shut();
        failure.clear();
        outcome = Attempt("", failure);
    }
    {
        const std::lock_guard lock(mutex);
        answered = true;
        started = outcome == State::Outcome::kOpened;
        error = std::move(failure);
    }
    changed.notify_all();
    if (on_answer) on_answer();
    if (started) {
        // The session's signals (its end, the portal's or the bus's) are
        // dispatched here until the owner closes it.
        const ThreadDefaultContext scope(state->context.get());
        while (!stop.load())
            g_main_context_iteration(state->context.get(), TRUE);
    }
    state->Shut();
}

void PortalSession::Runner::Wake() {
    const std::lock_guard lock(mutex);
    if (state) g_main_context_wakeup(state->context.get());
}

PortalSession::PortalSession(std::unique_ptr<Runner> runner) : runner_(std::move(runner)) {}

PortalSession::~PortalSession() {
    runner_->stop.store(true);
    runner_->Wake();
    runner_->thread.join();
}

std::unique_ptr<PortalSession> PortalSession::Begin(const std::string& restore_token,
                                                    const PortalLimits& limits, Answered answered) {
    auto runner = std::make_unique<Runner>(limits, std::move(answered));
    Runner* r = runner.get();
    r->thread = std::thread([r, restore_token] { r->Run(restore_token); });
    return std::make_unique<PortalSession>(std::move(runner));
}

std::unique_ptr<PortalSession> PortalSession::Open(const std::string& restore_token,
                                                   const PortalLimits& limits, std::string& error) {
    std::unique_ptr<PortalSession> session = Begin(restore_token, limits);
    session->WaitForAnswer();
    if (!session->Started(error)) return nullptr;
    return session;
}

bool PortalSession::answered() const {
    const std::lock_guard lock(runner_->mutex);
    return runner_->answered;
}

void PortalSession::WaitForAnswer() const {
    std::unique_lock lock(runner_->mutex);
    runner_->changed.wait(lock, [this] { return runner_->answered; });
}

bool PortalSession::Started(std::string& error) const {
    const std::lock_guard lock(runner_->mutex);
    if (!runner_->answered) return false;
    if (!runner_->started) error = runner_->error;
    return runner_->started;
}

const std::vector<PortalStream>& PortalSession::streams() const {
    return runner_->state->streams;
}

const std::string& PortalSession::restore_token() const {
    return runner_->state->restore_token;
}

UniqueFd PortalSession::TakePipeWireFd() {
    return std::move(runner_->state->pipewire_fd);
}

bool PortalSession::Ended(std::string& reason) const {
    if (!answered()) return false;
    State& s = *runner_->state;
    const std::lock_guard lock(s.ended_mutex);
    if (s.ended) reason = s.ended_reason;
    return s.ended;
}

}  // namespace vemo::screen
