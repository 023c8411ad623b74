#pragma once

// GLib's C handles as owned objects, and the waits the portal session makes
// on its own main context. For this folder's GDBus code only.

#include <gio/gio.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>

#include "base/freer.h"

namespace vemo::screen {

using Clock = std::chrono::steady_clock;

template <class T>
using ObjectPtr = std::unique_ptr<T, Freer<g_object_unref>>;
using VariantPtr = std::unique_ptr<GVariant, Freer<g_variant_unref>>;
using ContextPtr = std::unique_ptr<GMainContext, Freer<g_main_context_unref>>;
using SourcePtr = std::unique_ptr<GSource, Freer<g_source_unref>>;

// A GError out-parameter that frees what it receives.
class ErrorSlot {
  public:
    ErrorSlot() = default;
    ErrorSlot(const ErrorSlot&) = delete;
    ErrorSlot& operator=(const ErrorSlot&) = delete;
    ~ErrorSlot() { Reset(); }
    GError** out() {
        Reset();
        return &error_;
    }
    const GError* get() const { return error_; }
    explicit operator bool() const { return error_ != nullptr; }
    std::string text() const { return error_ != nullptr ? error_->message : "unknown error"; }
    bool Is(GQuark domain, int code) const { return g_error_matches(error_, domain, code); }

  private:
    void Reset() {
        if (error_ != nullptr) g_error_free(error_);
        error_ = nullptr;
    }
    GError* error_ = nullptr;
};

// Makes `context` the thread's default while the session is set up, so the
// connection and its signal subscriptions deliver there and nowhere else.
class ThreadDefaultContext {
  public:
    explicit ThreadDefaultContext(GMainContext* context) : context_(context) {
        g_main_context_push_thread_default(context_);
    }
    ~ThreadDefaultContext() { g_main_context_pop_thread_default(context_); }
    ThreadDefaultContext(const ThreadDefaultContext&) = delete;
    ThreadDefaultContext& operator=(const ThreadDefaultContext&) = delete;

  private:
    GMainContext* context_;
};

inline std::string Seconds(std::chrono::milliseconds time) {
    const long long tenths = (time.count() + 50) / 100;
    // Appended piece by piece: GCC 12 at -O3 warns falsely (-Wrestrict) about
    // "." + std::to_string(…).
    std::string text = std::to_string(tenths / 10);
    if (tenths % 10 != 0) text.append(".").append(std::to_string(tenths % 10));
    return text.append(" s");
}

// Iterates `context` until `done()`, `until` or `*stop`; false unless done.
// Raising `stop` wakes nobody: g_main_context_wakeup() after it does.
template <class Done>
bool IterateUntil(GMainContext* context, Clock::time_point until, Done done,
                  const std::atomic<bool>* stop = nullptr) {
    const auto stopped = [stop] { return stop != nullptr && stop->load(); };
    if (done()) return true;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now());
    if (left.count() <= 0) return false;
    bool expired = false;
    const SourcePtr timer(g_timeout_source_new(static_cast<guint>(left.count())));
    g_source_set_callback(
        timer.get(),
        +[](gpointer flag) -> gboolean {
            *static_cast<bool*>(flag) = true;
            return G_SOURCE_REMOVE;
        },
        &expired, nullptr);
    g_source_attach(timer.get(), context);
    while (!done() && !expired && !stopped())
        g_main_context_iteration(context, TRUE);
    g_source_destroy(timer.get());
    return done();
}

}  // namespace vemo::screen
