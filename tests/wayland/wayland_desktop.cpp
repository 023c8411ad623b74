#include "wayland/wayland_desktop.h"

#include <cctype>
#include <cstdlib>

namespace vemo::test {
namespace {

std::string Environment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

std::string Trimmed(std::string text) {
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back())) != 0)
        text.pop_back();
    return text;
}

}  // namespace

WaylandDesktop::WaylandDesktop() {
    script_ = Environment("VEMO_WAYLAND_DESKTOP");
    folder_ = Environment("VEMO_WAYLAND_DESKTOP_DIR");
    if (script_.empty() || folder_.empty()) {
        script_.clear();
        error_ = "not inside a test desktop: run the test as `tests/wayland/desktop run TEST`";
    }
    gnome_ = Environment("VEMO_WAYLAND_FLAVOUR") == "gnome";
    const std::string monitors = Environment("VEMO_WAYLAND_MONITORS");
    for (const char c : monitors)
        monitors_ += c == ',' ? 1 : 0;
}

bool WaylandDesktop::Run(const std::vector<std::string>& arguments, std::string* out) {
    if (!ok()) return false;
    std::vector<std::string> argv = {script_};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    const ProcessResult result = RunProcess(argv);
    if (out != nullptr) *out = result.out;
    if (result.exit_code == 0) {
        error_.clear();
        return true;
    }
    error_ = Trimmed(result.err);
    if (error_.empty()) error_ = "desktop " + arguments.front() + " failed";
    return false;
}

bool WaylandDesktop::StopPortal() {
    return Run({"stop", "portal"});
}

bool WaylandDesktop::StopPipeWire() {
    return Run({"stop", "pipewire"});
}

bool WaylandDesktop::Stop(const std::string& component) {
    return Run({"stop", component});
}

bool WaylandDesktop::Start() {
    return Run({"start"});
}

bool WaylandDesktop::Resize(int width, int height) {
    return Run({"resize", std::to_string(width) + "x" + std::to_string(height)});
}

bool WaylandDesktop::Scale(const std::string& factor) {
    return Run({"scale", factor});
}

bool WaylandDesktop::Show(int width, int height, const std::function<Rgb(int x, int y)>& colour) {
    if (!ok()) return false;
    const std::string header =
        "P6\n" + std::to_string(width) + " " + std::to_string(height) + "\n255\n";
    std::vector<std::uint8_t> bytes(header.begin(), header.end());
    bytes.reserve(bytes.size() + static_cast<std::size_t>(width) * height * 3);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const Rgb c = colour(x, y);
            bytes.insert(bytes.end(), {c.r, c.g, c.b});
        }
    }
    // A file of its own for each picture, so that the one on screen is never
    // rewritten under it.
    const std::string path = folder_ + "/picture-" + std::to_string(++pictures_) + ".ppm";
    WriteBytes(path, bytes);
    return Run({"show", path});
}

bool WaylandDesktop::AnswerDialog(bool allow) {
    return Run({"answer", allow ? "allow" : "refuse"});
}

int WaylandDesktop::TimesAsked() {
    std::string out;
    if (!Run({"asked"}, &out)) return -1;
    const std::string count = Trimmed(out);
    if (count.empty() || count.find_first_not_of("0123456789") != std::string::npos) {
        error_ = "the count of questions is unreadable: " + count;
        return -1;
    }
    return std::atoi(count.c_str());
}

}  // namespace vemo::test
