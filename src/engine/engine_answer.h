#pragma once

// What the engine answers a request from another program: done, with a
// text, or refused with why and of what kind. The bus face turns it into
// its reply once.

#include <string>
#include <utility>

namespace vemo {

struct EngineAnswer {
    enum class Refusal {
        kNone,
        kRefused,       // the engine's state does not allow it
        kInvalidValue,  // the caller's value is malformed or out of range
        kCancelled,     // the user said no
        kWaiting,       // a box or dialog waits for its answer first
    };
    Refusal refusal = Refusal::kNone;
    std::string text;

    bool ok() const { return refusal == Refusal::kNone; }
    static EngineAnswer Done(std::string text = {}) { return {Refusal::kNone, std::move(text)}; }
    static EngineAnswer Refused(std::string why, Refusal kind = Refusal::kRefused) {
        return {kind, std::move(why)};
    }
};

}  // namespace vemo
