// The screen-cast portal's grabber: a portal session asked for at the screen
// start, its PipeWire streams composed into one desktop picture, each grab
// taking the newest picture and what changed in it.

#include <algorithm>
#include <climits>
#include <cstdint>
#include <memory>
#include <string>

#include "screen/portal/pipewire_stream.h"
#include "screen/portal/portal_session.h"
#include "screen/portal/restore_token.h"
#include "screen/screen_grabber.h"
#include "screen/screen_log.h"

namespace vemo::screen {
namespace {

// The stream's first frame usually follows the start within a frame time.
constexpr FirstFrameWait kFirstFrameWait{};

constexpr const char* kUntilRestart =
    "; the screen is not captured until screen capture is started again";

// Where each monitor lies: as the portal says, else side by side.
std::vector<StreamSource> Sources(const std::vector<PortalStream>& streams) {
    std::vector<StreamSource> sources;
    // In 64 bits: the sizes are the portal's word; the places stay within int.
    std::int64_t next_x = 0;
    for (const PortalStream& stream : streams) {
        StreamSource source;
        source.node_id = stream.node_id;
        source.width = stream.width;
        source.height = stream.height;
        if (stream.has_position) {
            source.x = stream.x;
            source.y = stream.y;
        } else {
            source.x = static_cast<int>(std::min<std::int64_t>(next_x, INT_MAX));
        }
        next_x = std::max(next_x, std::int64_t{source.x} + stream.width);
        sources.push_back(source);
    }
    return sources;
}

class PortalGrabber final : public ScreenGrabber {
  public:
    explicit PortalGrabber(std::unique_ptr<PortalSession> session) : session_(std::move(session)) {}

    // Keeps the session's new token and opens its streams.
    bool Open(const std::string& token_path, const std::string& token, std::string& error) {
        const std::string& next_token = session_->restore_token();
        if (!next_token.empty() && next_token != token) {
            std::string token_error;
            if (!WriteRestoreToken(token_path, next_token, token_error)) {
                // The capture works; the user is asked again next time.
                ScreenLog("the screen-cast permission is not kept: " + token_error);
            }
        }
        capture_ = PipeWireCapture::Open(session_->TakePipeWireFd(), Sources(session_->streams()),
                                         kFirstFrameWait, error);
        if (!capture_) {
            std::string reason;
            if (session_->Ended(reason)) error = reason;
            return false;
        }
        SizePicture();
        return true;
    }

    // A monitor's new size is taken by its stream alone: no new handshake,
    // so the user is never asked again for it.
    bool AdoptNewSize() override {
        if (Ended() || !capture_->AdoptNewSize()) return false;
        SizePicture();
        return true;
    }

    int width() const override { return width_; }
    int height() const override { return height_; }

    bool SizeChanged() override { return !Ended() && capture_->SizeChanged(); }

    ScreenChanges PeekChanges() override {
        if (Ended()) return {};
        return capture_->PeekChanges();
    }

    bool Gone() override { return Ended() || capture_->Lost(); }

    bool Grab(GrabbedPixels& pixels, ScreenChanges& changes, std::string& error) override {
        changes = {};
        // A lost cast keeps the words of the first sign of its loss: mutter
        // closes the session once its PipeWire goes, and that end, seen a
        // grab later, is the same loss, not a new one to report.
        if (!lost_.empty()) {
            error = lost_;
            return false;
        }
        if (Ended()) {
            error = lost_ = ended_ + kUntilRestart;
            return false;
        }
        const PipeWireCapture::Taken taken = capture_->Take(picture_.get(), changes, error);
        if (taken == PipeWireCapture::Taken::kLost) {
            error += kUntilRestart;
            lost_ = error;
        }
        if (taken != PipeWireCapture::Taken::kPicture) return false;
        pixels.data = picture_.get();
        pixels.width = width_;
        pixels.height = height_;
        pixels.stride = static_cast<std::size_t>(width_) * 4;
        pixels.layout = PixelLayout{32, false, 0xff0000u, 0xff00u, 0xffu};
        return true;
    }

    std::string Describe() const override { return "screen-cast portal, " + capture_->Describe(); }

  private:
    void SizePicture() {
        width_ = capture_->width();
        height_ = capture_->height();
        picture_ = std::make_unique<std::uint8_t[]>(static_cast<std::size_t>(width_) *
                                                    static_cast<std::size_t>(height_) * 4);
    }

    bool Ended() {
        if (ended_.empty()) session_->Ended(ended_);
        return !ended_.empty();
    }

    std::unique_ptr<PortalSession> session_;
    std::unique_ptr<PipeWireCapture> capture_;  // after the session: it goes first
    std::unique_ptr<std::uint8_t[]> picture_;
    int width_ = 0;
    int height_ = 0;
    std::string ended_;
    std::string lost_;  // what Grab says once the cast is lost
};

}  // namespace

// The token is read at the start and written at the finish, on the
// thread screen capture runs on, as ever.
struct PortalStart::Kept {
    std::string path = RestoreTokenPath();
    std::string token = ReadRestoreToken(path);
};

std::unique_ptr<PortalStart> PortalStart::Begin(std::function<void()> answered) {
    auto kept = std::make_unique<Kept>();
    std::unique_ptr<PortalSession> session =
        PortalSession::Begin(kept->token, PortalLimits{}, std::move(answered));
    return std::make_unique<PortalStart>(std::move(session), std::move(kept));
}

PortalStart::PortalStart(std::unique_ptr<PortalSession> session, std::unique_ptr<Kept> kept)
    : session_(std::move(session)), kept_(std::move(kept)) {}

PortalStart::~PortalStart() = default;

bool PortalStart::answered() const {
    return !session_ || session_->answered();
}

void PortalStart::WaitForAnswer() const {
    if (session_) session_->WaitForAnswer();
}

std::unique_ptr<ScreenGrabber> PortalStart::Finish(std::string& error) {
    error.clear();
    if (session_ && session_->Started(error)) {
        auto grabber = std::make_unique<PortalGrabber>(std::move(session_));
        if (grabber->Open(kept_->path, kept_->token, error)) return grabber;
    }
    if (error.empty()) error = "the screen-cast portal has not answered yet";
    error = "the screen cannot be captured: " + error;
    return MakeNullGrabber(error);
}

}  // namespace vemo::screen
