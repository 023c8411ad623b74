#include "devices/test_cameras.h"

#include <gst/gst.h>

#include <atomic>
#include <charconv>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>

#include "camera/camera_graph.h"
#include "camera/capture_device.h"
#include "camera/gst_ptr.h"
#include "devices/test_camera_controls.h"
#include "devices/test_camera_replay.h"
#include "devices/test_camera_sources.h"

// The GObject types GStreamer sees: a device provider and its devices.
struct VemoTestCamera {
    GstDevice parent;
    int number;
};
struct VemoTestCameraClass {
    GstDeviceClass parent_class;
};
struct VemoTestCameraProvider {
    GstDeviceProvider parent;
};
struct VemoTestCameraProviderClass {
    GstDeviceProviderClass parent_class;
};

G_DEFINE_TYPE(VemoTestCamera, vemo_test_camera, GST_TYPE_DEVICE)
G_DEFINE_TYPE(VemoTestCameraProvider, vemo_test_camera_provider, GST_TYPE_DEVICE_PROVIDER)

namespace vemo {
namespace {

constexpr char kProviderName[] = "vemotestcameras";
constexpr char kIdentityPrefix[] = "test-camera:";

struct TestCamera {
    int number = 0;
    TestCameraConfig config;
    // The pictures a replay camera sends; null for the others.
    std::shared_ptr<const ReplayFile> replay;
    std::atomic<bool> plugged{true};
    std::atomic<bool> failed_once{false};
    // What the user set, kept across the camera's elements.
    std::shared_ptr<TestCameraControlState> controls;
    // The device the started provider announced for it.
    gst::DeviceRef device;
};

// The plugged cameras, by number. Element creation and the provider's
// callbacks may run on other threads.
std::mutex cameras_mutex;
std::map<int, std::shared_ptr<TestCamera>> cameras;
int next_number = 1;
bool provider_started = false;

std::string IdentityOf(int number) {
    return kIdentityPrefix + std::to_string(number);
}

// The number in "test-camera:N", or 0.
int NumberOf(std::string_view identity) {
    if (!identity.starts_with(kIdentityPrefix)) return 0;
    const std::string_view digits = identity.substr(sizeof kIdentityPrefix - 1);
    int number = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), number);
    return error == std::errc{} && end == digits.data() + digits.size() ? number : 0;
}

std::shared_ptr<TestCamera> FindCamera(int number) {
    std::lock_guard lock(cameras_mutex);
    const auto found = cameras.find(number);
    return found != cameras.end() ? found->second : nullptr;
}

// The camera's own size first, so that a source nobody asks a size of
// starts at it; then the sizes a webcam offers besides.
gst::CapsPtr PatternCaps(const TestCameraConfig& config) {
    GValue rates = G_VALUE_INIT;
    if (config.fps > 0) {
        g_value_init(&rates, GST_TYPE_FRACTION);
        gst_value_set_fraction(&rates, config.fps, 1);
    } else {
        g_value_init(&rates, GST_TYPE_LIST);
        for (int rate : {30, 15, 5}) {
            GValue value = G_VALUE_INIT;
            g_value_init(&value, GST_TYPE_FRACTION);
            gst_value_set_fraction(&value, rate, 1);
            gst_value_list_append_value(&rates, &value);
            g_value_unset(&value);
        }
    }
    gst::CapsPtr caps{gst_caps_new_empty()};
    const FrameSize own{config.width, config.height};
    for (const FrameSize size :
         {own, FrameSize{320, 240}, FrameSize{640, 480}, FrameSize{1280, 720}}) {
        // Listed once, first.
        if (gst_caps_get_size(caps.get()) > 0 && size == own) continue;
        GstStructure* structure =
            gst_structure_new("video/x-raw", "format", G_TYPE_STRING, "YUY2", "width", G_TYPE_INT,
                              size.width, "height", G_TYPE_INT, size.height, nullptr);
        gst_structure_set_value(structure, "framerate", &rates);
        gst_caps_append_structure(caps.get(), structure);
    }
    g_value_unset(&rates);
    return caps;
}

gst::CapsPtr TestCameraCaps(const TestCamera& camera) {
    if (camera.replay) return ReplayCaps(*camera.replay);
    if (camera.config.uvc) return WebcamCaps();
    return PatternCaps(camera.config);
}

// A new device object for `camera`, owned by the returned handle.
gst::DeviceRef MakeDevice(const TestCamera& camera) {
    const gst::CapsPtr caps = TestCameraCaps(camera);
    const std::string identity = IdentityOf(camera.number);
    const FrameSize own =
        camera.replay ? camera.replay->size : FrameSize{camera.config.width, camera.config.height};
    const std::string size = std::to_string(own.width) + "x" + std::to_string(own.height);
    const gst::StructurePtr properties{gst_structure_new(
        "vemo-test-camera", "device.path", G_TYPE_STRING, identity.c_str(), "device.api",
        G_TYPE_STRING, "vemo-test", "vemo.preferred-size", G_TYPE_STRING, size.c_str(), nullptr)};
    GObject* object = G_OBJECT(
        g_object_new(vemo_test_camera_get_type(), "display-name",
                     camera.config.name ? camera.config.name->c_str() : nullptr, "device-class",
                     "Video/Source", "caps", caps.get(), "properties", properties.get(), nullptr));
    reinterpret_cast<VemoTestCamera*>(object)->number = camera.number;
    return gst::DeviceRef::Adopt(GST_DEVICE(gst_object_ref_sink(object)));
}

gst::ObjectRef<GstDeviceProvider> Provider() {
    return gst::ObjectRef<GstDeviceProvider>::Adopt(
        gst_device_provider_factory_get_by_name(kProviderName));
}

// What a camera's pattern source does with each frame, on its streaming
// thread: takes up changed controls, counts the frames per run, and fails,
// stalls or refuses as it was told.
struct FrameProbe {
    std::shared_ptr<TestCamera> camera;
    std::uint64_t frames = 0;      // of the current run
    std::uint64_t generation = 0;  // of the controls last applied
};

void PostSourceError(GstPad* pad, GQuark domain, int code, const char* text) {
    const gst::ElementRef source = gst::ElementRef::Adopt(gst_pad_get_parent_element(pad));
    if (!source) return;
    const gst::ErrorPtr error{g_error_new_literal(domain, code, text)};
    gst_element_post_message(source.get(), gst_message_new_error(GST_OBJECT(source.get()),
                                                                 error.get(), "vemo test camera"));
}

GstPadProbeReturn OnTestFrame(GstPad* pad, GstPadProbeInfo* info, gpointer data) {
    auto* probe = static_cast<FrameProbe*>(data);
    TestCamera& camera = *probe->camera;
    if ((GST_PAD_PROBE_INFO_TYPE(info) & GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM) != 0) {
        // Every run of the camera starts its stream anew.
        if (GST_EVENT_TYPE(GST_PAD_PROBE_INFO_EVENT(info)) == GST_EVENT_STREAM_START) {
            probe->frames = 0;
        }
        return GST_PAD_PROBE_OK;
    }
    // A replay camera has no pattern to adjust.
    if (const std::uint64_t now = camera.controls->generation();
        !camera.replay && now != probe->generation) {
        probe->generation = now;
        camera.controls->ApplyAt(pad);
    }
    const std::uint64_t frame = probe->frames++;
    // An unplugged camera delivers nothing more, as a vanished one may.
    if (!camera.plugged.load()) return GST_PAD_PROBE_DROP;
    if (camera.config.busy) {
        if (frame == 0) {
            PostSourceError(pad, GST_RESOURCE_ERROR, GST_RESOURCE_ERROR_BUSY,
                            "Device is busy: another program holds the camera");
        }
        return GST_PAD_PROBE_DROP;
    }
    if (camera.config.stall_after >= 0 &&
        frame >= static_cast<std::uint64_t>(camera.config.stall_after)) {
        return GST_PAD_PROBE_DROP;
    }
    if (camera.config.error_after >= 0 &&
        frame >= static_cast<std::uint64_t>(camera.config.error_after) &&
        !camera.failed_once.exchange(true)) {
        PostSourceError(pad, GST_STREAM_ERROR, GST_STREAM_ERROR_FAILED,
                        "Test camera failed as it was told to");
        return GST_PAD_PROBE_DROP;
    }
    return GST_PAD_PROBE_OK;
}

// Puts the probe above on what `source` puts out, with the controls' values
// as `source` and `balance` have them now.
void WatchFrames(const std::shared_ptr<TestCamera>& camera, GstElement* source,
                 GstElement* balance) {
    const std::uint64_t generation = camera->controls->generation();
    if (!camera->replay) camera->controls->ApplyTo(source, balance);
    const gst::PadRef output = gst::PadRef::Adopt(gst_element_get_static_pad(source, "src"));
    auto probe = std::make_unique<FrameProbe>();
    probe->camera = camera;
    probe->generation = generation;
    gst_pad_add_probe(output.get(),
                      static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_BUFFER |
                                                   GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM),
                      OnTestFrame, probe.release(), [](gpointer data) {
                          std::unique_ptr<FrameProbe>(static_cast<FrameProbe*>(data));
                      });
}

// The caller gets a floating reference, as GStreamer's factories hand out.
GstElement* Floating(const gst::ElementRef& element) {
    gst_object_ref(element.get());
    g_object_force_floating(G_OBJECT(element.get()));
    return element.get();
}

// The camera's element: a live test pattern, adjusted by the camera's
// controls, at the camera's sizes and rates; a replay file's pictures; or a
// webcam's modes. The probe above watches the source's output, in a bin
// whose "src" is the camera's.
GstElement* MakeCameraElement(const std::shared_ptr<TestCamera>& camera, const gchar* name) {
    if (camera->config.uvc) {
        // Its insides are made anew at each start, for the mode asked for.
        const std::weak_ptr<TestCamera> weak = camera;
        return Floating(MakeWebcam(name, [weak](GstElement* pattern, GstElement* balance) {
            if (const auto held = weak.lock(); held) WatchFrames(held, pattern, balance);
        }));
    }
    gst::ElementRef bin{
        gst::ElementRef::Adopt(GST_ELEMENT(gst_object_ref_sink(gst_bin_new(name))))};
    gst::ElementRef output_element;
    if (camera->replay) {
        const gst::ElementRef source = MakeReplaySource(camera->replay, "replay");
        gst_bin_add(GST_BIN(bin.get()), source.get());
        WatchFrames(camera, source.get(), nullptr);
        output_element = source;
    } else {
        gst::ElementRef source = MakeElement("videotestsrc", "pattern");
        gst::ElementRef balance = MakeElement("videobalance", "balance");
        gst::ElementRef filter = MakeElement("capsfilter", "format");
        if (!source || !balance || !filter) return nullptr;
        g_object_set(source.get(), "is-live", TRUE, nullptr);
        g_object_set(filter.get(), "caps", PatternCaps(camera->config).get(), nullptr);
        gst_bin_add_many(GST_BIN(bin.get()), source.get(), balance.get(), filter.get(), nullptr);
        if (!gst_element_link_many(source.get(), balance.get(), filter.get(), nullptr)) {
            return nullptr;
        }
        WatchFrames(camera, source.get(), balance.get());
        output_element = filter;
    }
    const gst::PadRef output =
        gst::PadRef::Adopt(gst_element_get_static_pad(output_element.get(), "src"));
    gst_element_add_pad(bin.get(), gst_ghost_pad_new("src", output.get()));
    return Floating(bin);
}

}  // namespace
}  // namespace vemo

static GstElement* vemo_test_camera_create_element(GstDevice* device, const gchar* name) {
    auto camera = vemo::FindCamera(reinterpret_cast<VemoTestCamera*>(device)->number);
    // An unplugged camera cannot be opened any more.
    if (!camera) return nullptr;
    return vemo::MakeCameraElement(camera, name);
}

static void vemo_test_camera_class_init(VemoTestCameraClass* klass) {
    GST_DEVICE_CLASS(klass)->create_element = vemo_test_camera_create_element;
}

static void vemo_test_camera_init(VemoTestCamera* camera) {
    camera->number = 0;
}

static GList* vemo_test_camera_provider_probe(GstDeviceProvider*) {
    std::lock_guard lock(vemo::cameras_mutex);
    GList* devices = nullptr;
    for (const auto& [number, camera] : vemo::cameras) {
        vemo::gst::DeviceRef device = vemo::MakeDevice(*camera);
        devices = g_list_append(devices, gst_object_ref(device.get()));
    }
    return devices;
}

static gboolean vemo_test_camera_provider_start(GstDeviceProvider* provider) {
    std::vector<vemo::gst::DeviceRef> announced;
    {
        std::lock_guard lock(vemo::cameras_mutex);
        vemo::provider_started = true;
        for (const auto& [number, camera] : vemo::cameras) {
            camera->device = vemo::MakeDevice(*camera);
            announced.push_back(camera->device);
        }
    }
    for (const vemo::gst::DeviceRef& device : announced) {
        gst_device_provider_device_add(provider, device.get());
    }
    return TRUE;
}

static void vemo_test_camera_provider_stop(GstDeviceProvider*) {
    std::lock_guard lock(vemo::cameras_mutex);
    vemo::provider_started = false;
    for (const auto& [number, camera] : vemo::cameras)
        camera->device.reset();
}

static void vemo_test_camera_provider_class_init(VemoTestCameraProviderClass* klass) {
    GstDeviceProviderClass* provider_class = GST_DEVICE_PROVIDER_CLASS(klass);
    provider_class->probe = vemo_test_camera_provider_probe;
    provider_class->start = vemo_test_camera_provider_start;
    provider_class->stop = vemo_test_camera_provider_stop;
    gst_device_provider_class_set_static_metadata(provider_class, "Vemo test cameras",
                                                  "Video/Source",
                                                  "Test-pattern sources listed as cameras", "Vemo");
}

static void vemo_test_camera_provider_init(VemoTestCameraProvider*) {}

namespace vemo {

bool EnableTestCameras(std::string* why) {
    static bool enabled = false;
    if (enabled) return true;
    if (!EnsureGStreamer(why)) return false;
    if (std::string missing = MissingElement({"videotestsrc", "videobalance", "capsfilter"});
        !missing.empty()) {
        if (why != nullptr) *why = "GStreamer element \"" + missing + "\" is not installed";
        return false;
    }
    if (!gst_device_provider_register(nullptr, kProviderName, GST_RANK_PRIMARY,
                                      vemo_test_camera_provider_get_type())) {
        if (why != nullptr) *why = "the test camera provider cannot be registered";
        return false;
    }
    enabled = true;
    return true;
}

CameraResult PlugTestCamerasFromEnvironment() {
    static bool done = false;
    if (done) return {};
    done = true;
    const char* described = std::getenv("VEMO_TEST_CAMERAS");
    if (described == nullptr) return {};
    const char* size = std::getenv("VEMO_TEST_CAMERA_SIZE");
    const std::vector<TestCameraConfig> configs =
        ParseTestCameras(described, size != nullptr ? size : "");
    if (configs.empty()) return {};
    CameraResult result;
    std::string why;
    if (!EnableTestCameras(&why)) {
        result.Warn({"VEMO_TEST_CAMERAS: no test cameras: " + why, 0, {}});
        return result;
    }
    for (const TestCameraConfig& config : configs) {
        if (PlugTestCamera(config, &why).empty()) {
            const std::string camera =
                config.name ? "the camera \"" + *config.name + "\"" : "the nameless camera";
            result.Warn({"VEMO_TEST_CAMERAS: " + camera + " is not plugged: " + why, 0, {}});
        }
    }
    return result;
}

std::string PlugTestCamera(const TestCameraConfig& config, std::string* why) {
    std::string error = config.error;
    std::shared_ptr<const ReplayFile> replay;
    if (error.empty() && !config.replay.empty()) {
        if (auto file = OpenReplayFile(config.replay, config.fps, error); file) {
            replay = std::make_shared<const ReplayFile>(std::move(*file));
        }
    }
    if (error.empty()) EnableTestCameras(&error);
    if (!error.empty()) {
        if (why != nullptr) *why = error;
        return {};
    }
    auto camera = std::make_shared<TestCamera>();
    camera->config = config;
    camera->replay = std::move(replay);
    // A file's pictures have nothing to adjust.
    if (camera->replay) camera->config.controls = false;
    camera->controls = std::make_shared<TestCameraControlState>(camera->config);
    gst::DeviceRef announce;
    {
        std::lock_guard lock(cameras_mutex);
        camera->number = next_number++;
        cameras[camera->number] = camera;
        if (provider_started) {
            camera->device = MakeDevice(*camera);
            announce = camera->device;
        }
    }
    // Announced as a real provider announces a camera plugged in.
    if (announce) {
        if (auto provider = Provider(); provider) {
            gst_device_provider_device_add(provider.get(), announce.get());
        }
    }
    return IdentityOf(camera->number);
}

bool UnplugTestCamera(const std::string& identity) {
    const int number = NumberOf(identity);
    if (number <= 0) return false;
    gst::DeviceRef removed;
    {
        std::lock_guard lock(cameras_mutex);
        const auto found = cameras.find(number);
        if (found == cameras.end()) return false;
        found->second->plugged.store(false);
        removed = std::move(found->second->device);
        cameras.erase(found);
    }
    if (removed) {
        if (auto provider = Provider(); provider) {
            gst_device_provider_device_remove(provider.get(), removed.get());
        }
    }
    return true;
}

void UnplugAllTestCameras() {
    std::vector<std::string> identities;
    {
        std::lock_guard lock(cameras_mutex);
        for (const auto& [number, camera] : cameras)
            identities.push_back(IdentityOf(number));
    }
    for (const std::string& identity : identities)
        UnplugTestCamera(identity);
}

std::unique_ptr<CameraControls> OpenTestCameraControls(const std::string& identity) {
    const std::shared_ptr<TestCamera> camera = FindCamera(NumberOf(identity));
    return camera ? ShareTestCameraControls(camera->controls) : nullptr;
}

}  // namespace vemo
