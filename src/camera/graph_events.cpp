// The camera graph's bus as the window reads it, and the lost-camera watchdog.

#include "camera/graph_events.h"

#include <gst/gst.h>

#include <QTimer>

#include <algorithm>
#include <cstring>

#include "camera/camera_graph.h"

namespace vemo {
namespace {

// How often the lost-camera check looks at the frame counters.
constexpr int kWatchdogIntervalMs = 250;

}  // namespace

void CameraGraph::FlushGraphBus() {
    if (gst::BusRef bus = GraphBus(); bus) {
        gst_bus_set_flushing(bus.get(), TRUE);
        gst_bus_set_flushing(bus.get(), FALSE);
    }
}

CameraGraph::BusError CameraGraph::TakeBusError() {
    BusError result;
    gst::BusRef bus = GraphBus();
    if (!bus) return result;
    gst::MessagePtr message{gst_bus_pop_filtered(bus.get(), GST_MESSAGE_ERROR)};
    if (!message) return result;
    GError* raw = nullptr;
    gst_message_parse_error(message.get(), &raw, nullptr);
    gst::ErrorPtr error{raw};
    result.code = GraphErrorCode(error.get());
    if (error) result.text = error->message;
    return result;
}

std::vector<GraphEvent> CameraGraph::DrainGraphEvents(const CaptureDevice* current) {
    std::vector<GraphEvent> events;
    gst::BusRef bus = GraphBus();
    if (!bus) return events;
    while (gst::MessagePtr message{gst_bus_pop(bus.get())}) {
        if (!media_event_.load()) continue;
        GraphEvent event;
        if (GST_MESSAGE_TYPE(message.get()) == GST_MESSAGE_ERROR) {
            GError* raw = nullptr;
            gst_message_parse_error(message.get(), &raw, nullptr);
            gst::ErrorPtr error{raw};
            event.code = GraphErrorCode(error.get());
            if (error) event.detail = error->message;
            if (GstObject* source = GST_MESSAGE_SRC(message.get()); source != nullptr) {
                const gst::StringPtr name{gst_object_get_name(source)};
                event.from_file_writer = name && (std::strcmp(name.get(), "Writer") == 0 ||
                                                  std::strcmp(name.get(), "Mux") == 0);
            }
            if (error && error->domain == GST_RESOURCE_ERROR &&
                error->code == GST_RESOURCE_ERROR_BUSY) {
                event.kind = GraphEventKind::kDeviceBusy;
            } else if (current != nullptr && !DevicePresent(*current)) {
                // A camera that vanished often shows as a read error first.
                event.kind = GraphEventKind::kDeviceLost;
                event.identity = current->identity;
            } else {
                event.kind = GraphEventKind::kErrorAbort;
            }
        } else if (GST_MESSAGE_TYPE(message.get()) == GST_MESSAGE_APPLICATION) {
            const GstStructure* structure = gst_message_get_structure(message.get());
            if (gst_structure_has_name(structure, kDeviceLostMessage)) {
                event.kind = GraphEventKind::kDeviceLost;
                const char* identity = gst_structure_get_string(structure, "identity");
                event.identity = identity != nullptr ? identity : "";
            } else if (gst_structure_has_name(structure, kNoUsablePicturesMessage) ||
                       gst_structure_has_name(structure, kUsablePicturesAgainMessage)) {
                if (!(previewing_ || capture_running_)) continue;
                event.kind = gst_structure_has_name(structure, kNoUsablePicturesMessage)
                                 ? GraphEventKind::kNoUsablePictures
                                 : GraphEventKind::kUsablePicturesAgain;
            } else if (gst_structure_has_name(structure, kNoRoomMessage)) {
                event.kind = GraphEventKind::kNoRoom;
                const char* reason = gst_structure_get_string(structure, "reason");
                event.detail = reason != nullptr ? reason : "";
            } else if (gst_structure_has_name(structure, kFramesStoppedMessage)) {
                // Only the run that is still going counts.
                if (!(previewing_ || capture_running_) || current == nullptr) continue;
                event.kind = GraphEventKind::kDeviceLost;
                event.identity = current->identity;
                event.detail = "the camera stopped delivering frames";
            } else {
                continue;
            }
        } else {
            continue;
        }
        events.push_back(std::move(event));
    }
    return events;
}

void CameraGraph::PostDeviceLost(const std::string& identity) {
    gst::BusRef bus = GraphBus();
    if (!bus || !media_event_.load()) return;
    GstStructure* structure =
        gst_structure_new(kDeviceLostMessage, "identity", G_TYPE_STRING, identity.c_str(), nullptr);
    gst_bus_post(bus.get(), gst_message_new_application(nullptr, structure));
}

FrameWatchdog::FrameWatchdog() : timer_(std::make_unique<QTimer>()) {
    timer_->setInterval(kWatchdogIntervalMs);
    QObject::connect(timer_.get(), &QTimer::timeout, [this] { Tick(); });
}

FrameWatchdog::~FrameWatchdog() = default;

void FrameWatchdog::Start(GstBus* bus, std::int64_t frame_period_ns,
                          std::function<FrameArrivals()> arrivals) {
    Stop();
    if (bus == nullptr || !arrivals) return;
    arrivals_ = std::move(arrivals);
    bus_ = gst::BusRef::Share(bus);
    run_started_ns_ = SteadyNowNs();
    period_ns_ = frame_period_ns;
    reported_ = false;
    none_usable_reported_ = false;
    timer_->start();
}

void FrameWatchdog::Stop() {
    timer_->stop();
    bus_.reset();
}

// A running camera that stopped delivering, or whose pictures cannot be used.
void FrameWatchdog::Tick() {
    if (!bus_ || reported_) return;
    const auto post = [this](const char* name) {
        gst_bus_post(bus_.get(),
                     gst_message_new_application(nullptr, gst_structure_new_empty(name)));
    };
    const FrameArrivals arrived = arrivals_();
    const std::int64_t now = SteadyNowNs();
    const bool first = arrived.frames == 0;
    const std::int64_t since = first ? run_started_ns_ : arrived.last_frame_ns;
    if (now - since > FrameSilenceLimitNs(period_ns_, first)) {
        reported_ = true;
        post(kFramesStoppedMessage);
        return;
    }
    if (none_usable_reported_) {
        if (arrived.usable > usable_at_report_) {
            none_usable_reported_ = false;
            post(kUsablePicturesAgainMessage);
        }
        return;
    }
    const bool first_usable = arrived.usable == 0;
    const std::int64_t since_usable = first_usable ? run_started_ns_ : arrived.last_usable_ns;
    if (!first && now - since_usable > FrameSilenceLimitNs(period_ns_, first_usable)) {
        none_usable_reported_ = true;
        usable_at_report_ = arrived.usable;
        post(kNoUsablePicturesMessage);
    }
}

std::uint32_t GraphErrorCode(const GError* error) {
    if (error == nullptr) return kGraphFailure;
    std::uint32_t domain = 0;
    if (error->domain == GST_CORE_ERROR) {
        domain = 1;
    } else if (error->domain == GST_LIBRARY_ERROR) {
        domain = 2;
    } else if (error->domain == GST_RESOURCE_ERROR) {
        domain = 3;
    } else if (error->domain == GST_STREAM_ERROR) {
        domain = 4;
    }
    return 0x80470000u | (domain << 8) | (static_cast<std::uint32_t>(error->code) & 0xFFu);
}

std::int64_t FrameSilenceLimitNs(std::int64_t frame_period_ns, bool first_frame) {
    const std::int64_t floor = first_frame ? 5'000'000'000 : 2'000'000'000;
    return std::max(floor, 8 * frame_period_ns);
}

}  // namespace vemo
