#include "camera/v4l2_controls.h"

#include <fcntl.h>
#include <linux/videodev2.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <map>

namespace vemo {
namespace {

// Drivers name things in fixed arrays that need not end in a NUL.
template <typename Char, std::size_t N>
std::string Text(const Char (&chars)[N]) {
    const auto* text = reinterpret_cast<const char*>(chars);
    return std::string(text, strnlen(text, N));
}

std::unexpected<Error> Fail(int code) {
    return Failure(KindOfErrno(code), std::strerror(code));
}

bool Listed(const v4l2_query_ext_ctrl& query) {
    return (query.flags & V4L2_CTRL_FLAG_DISABLED) == 0 &&
           query.type != V4L2_CTRL_TYPE_CTRL_CLASS &&
           (query.flags & V4L2_CTRL_FLAG_HAS_PAYLOAD) == 0 && query.type < V4L2_CTRL_COMPOUND_TYPES;
}

std::optional<CameraControl::Kind> KindOf(std::uint32_t type) {
    switch (type) {
        case V4L2_CTRL_TYPE_INTEGER:
        case V4L2_CTRL_TYPE_INTEGER64:
        case V4L2_CTRL_TYPE_BITMASK:
            return CameraControl::Kind::kInteger;
        case V4L2_CTRL_TYPE_BOOLEAN:
            return CameraControl::Kind::kBoolean;
        case V4L2_CTRL_TYPE_MENU:
            return CameraControl::Kind::kMenu;
        case V4L2_CTRL_TYPE_INTEGER_MENU:
            return CameraControl::Kind::kIntegerMenu;
        case V4L2_CTRL_TYPE_BUTTON:
            return CameraControl::Kind::kButton;
        default:
            return std::nullopt;
    }
}

// A driver that reports a huge menu is not asked about every index.
constexpr std::int64_t kMaxMenuItems = 256;
// Nor is one that never says there are no more inputs or standards.
constexpr std::uint32_t kMaxEnumerated = 256;

}  // namespace

std::string ControlKey(std::string_view name) {
    std::string key;
    bool gap = false;
    for (const char c : name) {
        const bool alnum =
            (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        if (!alnum) {
            gap = true;
            continue;
        }
        if (gap && !key.empty()) key += '_';
        gap = false;
        key += (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    }
    return key;
}

std::optional<CameraControl> ControlFromQuery(const v4l2_query_ext_ctrl& query,
                                              const std::vector<v4l2_querymenu>& items,
                                              std::int64_t value, std::string_view class_name) {
    const std::optional<CameraControl::Kind> kind = KindOf(query.type);
    if (!Listed(query) || !kind) return std::nullopt;
    CameraControl control;
    control.id = query.id;
    control.name = Text(query.name);
    control.key = ControlKey(control.name);
    control.kind = *kind;
    control.minimum = query.minimum;
    control.maximum = query.maximum;
    control.step = static_cast<std::int64_t>(query.step);
    control.default_value = query.default_value;
    control.value = value;
    if (*kind == CameraControl::Kind::kMenu || *kind == CameraControl::Kind::kIntegerMenu) {
        for (const v4l2_querymenu& item : items) {
            if (item.id != query.id) continue;
            control.menu.emplace_back(std::int64_t{item.index}, *kind == CameraControl::Kind::kMenu
                                                                    ? Text(item.name)
                                                                    : std::to_string(item.value));
        }
    }
    control.control_class = V4L2_CTRL_ID2CLASS(query.id);
    control.class_name = class_name;
    control.inactive = (query.flags & V4L2_CTRL_FLAG_INACTIVE) != 0;
    control.grabbed = (query.flags & V4L2_CTRL_FLAG_GRABBED) != 0;
    control.read_only = (query.flags & V4L2_CTRL_FLAG_READ_ONLY) != 0;
    return control;
}

Result<std::unique_ptr<V4l2Controls>> V4l2Controls::Open(const std::string& device_node) {
    UniqueFd fd{::open(device_node.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC)};
    if (!fd) return Fail(errno);
    return std::make_unique<V4l2Controls>(std::move(fd));
}

bool V4l2Controls::Ioctl(unsigned long request, void* argument) const {
    int result = 0;
    do {
        result = ::ioctl(fd_.get(), request, argument);
    } while (result < 0 && errno == EINTR);
    return result >= 0;
}

std::vector<CameraControl> V4l2Controls::Controls() {
    constexpr std::uint32_t kNext = V4L2_CTRL_FLAG_NEXT_CTRL | V4L2_CTRL_FLAG_NEXT_COMPOUND;
    std::vector<CameraControl> controls;
    // Each class heading comes before its controls.
    std::map<std::uint32_t, std::string> class_names;
    v4l2_query_ext_ctrl query{};
    query.id = kNext;
    std::uint32_t last = 0;
    while (Ioctl(VIDIOC_QUERY_EXT_CTRL, &query) && query.id > last) {
        last = query.id;
        if (query.type == V4L2_CTRL_TYPE_CTRL_CLASS) {
            class_names[V4L2_CTRL_ID2CLASS(query.id)] = Text(query.name);
        } else if (Listed(query)) {
            std::vector<v4l2_querymenu> items;
            if (query.type == V4L2_CTRL_TYPE_MENU || query.type == V4L2_CTRL_TYPE_INTEGER_MENU) {
                for (std::int64_t index = std::max<std::int64_t>(query.minimum, 0);
                     index <= query.maximum && index < kMaxMenuItems; ++index) {
                    v4l2_querymenu item{};
                    item.id = query.id;
                    item.index = static_cast<std::uint32_t>(index);
                    // Drivers refuse the indexes they leave out of a menu.
                    if (Ioctl(VIDIOC_QUERYMENU, &item)) items.push_back(item);
                }
            }
            std::int64_t value = 0;
            // Buttons and write-only controls have no value to read.
            const bool readable = query.type != V4L2_CTRL_TYPE_BUTTON &&
                                  (query.flags & V4L2_CTRL_FLAG_WRITE_ONLY) == 0;
            bool have_value = !readable;
            if (readable) {
                v4l2_ext_control control{};
                control.id = query.id;
                v4l2_ext_controls request{};
                request.which = V4L2_CTRL_WHICH_CUR_VAL;
                request.count = 1;
                request.controls = &control;
                have_value = Ioctl(VIDIOC_G_EXT_CTRLS, &request);
                if (query.type == V4L2_CTRL_TYPE_INTEGER64) {
                    value = control.value64;
                } else if (query.type == V4L2_CTRL_TYPE_BITMASK) {
                    value = static_cast<std::uint32_t>(control.value);
                } else {
                    value = control.value;
                }
            }
            const auto name = class_names.find(V4L2_CTRL_ID2CLASS(query.id));
            if (have_value) {
                if (auto listed = ControlFromQuery(query, items, value,
                                                   name != class_names.end() ? name->second : "")) {
                    controls.push_back(std::move(*listed));
                }
            }
        }
        const std::uint32_t id = query.id;
        query = {};
        query.id = id | kNext;
    }
    return controls;
}

Result<> V4l2Controls::SetControl(std::uint32_t id, std::int64_t value) {
    v4l2_query_ext_ctrl query{};
    query.id = id;
    if (!Ioctl(VIDIOC_QUERY_EXT_CTRL, &query)) return Fail(errno);
    if (!Listed(query)) return Fail(EINVAL);
    v4l2_ext_control control{};
    control.id = id;
    if (query.type == V4L2_CTRL_TYPE_INTEGER64) {
        control.value64 = value;
    } else {
        // 32-bit controls; a bitmask takes all 32 bits.
        const std::int64_t low =
            query.type == V4L2_CTRL_TYPE_BITMASK ? 0 : std::numeric_limits<std::int32_t>::min();
        const std::int64_t high = query.type == V4L2_CTRL_TYPE_BITMASK
                                      ? std::numeric_limits<std::uint32_t>::max()
                                      : std::numeric_limits<std::int32_t>::max();
        if (value < low || value > high) return Fail(ERANGE);
        control.value = static_cast<std::int32_t>(static_cast<std::uint32_t>(value));
    }
    v4l2_ext_controls request{};
    request.which = V4L2_CTRL_WHICH_CUR_VAL;
    request.count = 1;
    request.controls = &control;
    if (!Ioctl(VIDIOC_S_EXT_CTRLS, &request)) return Fail(errno);
    return {};
}

std::vector<CameraInput> V4l2Controls::Inputs() {
    std::vector<CameraInput> inputs;
    for (std::uint32_t index = 0; index < kMaxEnumerated; ++index) {
        v4l2_input input{};
        input.index = index;
        if (!Ioctl(VIDIOC_ENUMINPUT, &input)) break;
        inputs.push_back({input.index, Text(input.name), input.type == V4L2_INPUT_TYPE_TUNER});
    }
    return inputs;
}

std::optional<std::uint32_t> V4l2Controls::CurrentInput() {
    int index = 0;
    if (!Ioctl(VIDIOC_G_INPUT, &index) || index < 0) return std::nullopt;
    return static_cast<std::uint32_t>(index);
}

Result<> V4l2Controls::SetInput(std::uint32_t index) {
    if (index > static_cast<std::uint32_t>(std::numeric_limits<int>::max())) {
        return Fail(EINVAL);
    }
    int chosen = static_cast<int>(index);
    if (!Ioctl(VIDIOC_S_INPUT, &chosen)) return Fail(errno);
    return {};
}

std::optional<std::uint32_t> V4l2Controls::CurrentTunerIndex() {
    const std::optional<std::uint32_t> current = CurrentInput();
    if (!current) return std::nullopt;
    v4l2_input input{};
    input.index = *current;
    if (!Ioctl(VIDIOC_ENUMINPUT, &input) || input.type != V4L2_INPUT_TYPE_TUNER) {
        return std::nullopt;
    }
    return input.tuner;
}

std::optional<TunerState> V4l2Controls::Tuner() {
    const std::optional<std::uint32_t> index = CurrentTunerIndex();
    if (!index) return std::nullopt;
    v4l2_tuner tuner{};
    tuner.index = *index;
    if (!Ioctl(VIDIOC_G_TUNER, &tuner)) return std::nullopt;
    TunerState state;
    state.minimum = tuner.rangelow;
    state.maximum = tuner.rangehigh;
    v4l2_frequency frequency{};
    frequency.tuner = *index;
    frequency.type = tuner.type;
    if (Ioctl(VIDIOC_G_FREQUENCY, &frequency)) state.frequency = frequency.frequency;
    for (std::uint32_t i = 0; i < kMaxEnumerated; ++i) {
        v4l2_standard standard{};
        standard.index = i;
        if (!Ioctl(VIDIOC_ENUMSTD, &standard)) break;
        state.standards.emplace_back(standard.id, Text(standard.name));
    }
    if (v4l2_std_id standard = 0; Ioctl(VIDIOC_G_STD, &standard)) state.standard = standard;
    return state;
}

Result<> V4l2Controls::SetFrequency(std::uint32_t frequency) {
    const std::optional<std::uint32_t> index = CurrentTunerIndex();
    if (!index) return Fail(ENOTTY);
    v4l2_tuner tuner{};
    tuner.index = *index;
    if (!Ioctl(VIDIOC_G_TUNER, &tuner)) return Fail(errno);
    v4l2_frequency request{};
    request.tuner = *index;
    request.type = tuner.type;
    request.frequency = frequency;
    if (!Ioctl(VIDIOC_S_FREQUENCY, &request)) return Fail(errno);
    return {};
}

Result<> V4l2Controls::SetStandard(std::uint64_t standard) {
    v4l2_std_id id = standard;
    if (!Ioctl(VIDIOC_S_STD, &id)) return Fail(errno);
    return {};
}

}  // namespace vemo
