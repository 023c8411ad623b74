// The GNOME test desktop's pictures: a full-screen window on one monitor that
// shows a colour, then each picture it is given, in place of the last one in
// a single commit, so a screen cast never sees a frame between the two. (On
// sway the launcher uses swaybg; mutter has no background client to ask.)
//
//   picture_window X,Y RRGGBB COMMANDS
//
// X,Y is the monitor's place on the desktop (as wl_output tells it; mutter
// names no outputs before wl_output 4), COMMANDS a FIFO from which
// each line is the path of a binary PPM (P6, 255) of the monitor's size in
// pixels. Every picture (the colour first) gets one line on standard output
// once the compositor has drawn it (its frame callback): "shown N", N counting
// from 0 for the colour; or "refused N: why". The window draws at the
// monitor's scale, so its buffer is the monitor's pixels one for one.

#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <unistd.h>
#include <wayland-client.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "xdg-shell-client-protocol.h"

namespace {

struct Output {
    wl_output* output = nullptr;
    std::string place;  // "X,Y"
    int scale = 1;
};

struct Window {
    wl_compositor* compositor = nullptr;
    wl_shm* shm = nullptr;
    xdg_wm_base* wm_base = nullptr;
    std::vector<Output*> outputs;
    wl_surface* surface = nullptr;
    xdg_surface* shell_surface = nullptr;
    xdg_toplevel* toplevel = nullptr;
    int width = 0;  // logical, as configured
    int height = 0;
    bool configured = false;
    int shown = 0;  // pictures answered so far
};

void Say(const std::string& line) {
    std::fputs((line + "\n").c_str(), stdout);
    std::fflush(stdout);
}

[[noreturn]] void Die(const std::string& why) {
    std::fprintf(stderr, "picture_window: %s\n", why.c_str());
    std::exit(1);
}

// A shared-memory buffer of width x height XRGB pixels (B, G, R, X in memory)
// holding `rgb` (or that one colour throughout); the compositor's release
// destroys it.
wl_buffer* MakeBuffer(Window& w, int width, int height, const std::vector<std::uint8_t>& rgb) {
    const int stride = width * 4;
    const std::size_t size = static_cast<std::size_t>(stride) * height;
    const int fd = memfd_create("vemo-picture", MFD_CLOEXEC);
    if (fd < 0 || ftruncate(fd, static_cast<off_t>(size)) != 0) Die("no shared memory");
    void* mapped = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (mapped == MAP_FAILED) Die("cannot map shared memory");
    auto* p = static_cast<std::uint8_t*>(mapped);
    const bool solid = rgb.size() == 3;
    for (std::size_t i = 0, j = 0; i < size; i += 4, j += 3) {
        const std::uint8_t* c = solid ? rgb.data() : rgb.data() + j;
        p[i] = c[2];
        p[i + 1] = c[1];
        p[i + 2] = c[0];
        p[i + 3] = 0xff;
    }
    munmap(mapped, size);
    wl_shm_pool* pool = wl_shm_create_pool(w.shm, fd, static_cast<std::int32_t>(size));
    wl_buffer* buffer =
        wl_shm_pool_create_buffer(pool, 0, width, height, stride, WL_SHM_FORMAT_XRGB8888);
    wl_shm_pool_destroy(pool);
    close(fd);
    static const wl_buffer_listener release = {
        .release = [](void*, wl_buffer* b) { wl_buffer_destroy(b); },
    };
    wl_buffer_add_listener(buffer, &release, nullptr);
    return buffer;
}

// Replaces the window's picture in one commit; says "shown N" once drawn.
void Present(Window& w, const std::vector<std::uint8_t>& rgb, int width, int height) {
    wl_surface_attach(w.surface, MakeBuffer(w, width, height, rgb), 0, 0);
    wl_surface_damage_buffer(w.surface, 0, 0, width, height);
    static const wl_callback_listener drawn = {
        .done =
            [](void* data, wl_callback* callback, std::uint32_t) {
                wl_callback_destroy(callback);
                Say("shown " + std::to_string(reinterpret_cast<std::intptr_t>(data)));
            },
    };
    wl_callback_add_listener(wl_surface_frame(w.surface), &drawn,
                             reinterpret_cast<void*>(static_cast<std::intptr_t>(w.shown++)));
    wl_surface_commit(w.surface);
}

// Reads a binary PPM: its pixels (R, G, B) and size; an error otherwise.
std::string ReadPpm(const std::string& path, std::vector<std::uint8_t>& rgb, int& width,
                    int& height) {
    std::ifstream file(path, std::ios::binary);
    if (!file) return "cannot open " + path;
    std::string magic;
    int max = 0;
    file >> magic >> width >> height >> max;
    if (magic != "P6" || max != 255 || width <= 0 || height <= 0) return path + ": not a P6 PPM";
    file.get();  // the one whitespace before the pixels
    rgb.assign(static_cast<std::size_t>(width) * height * 3, 0);
    if (!file.read(reinterpret_cast<char*>(rgb.data()), static_cast<std::streamsize>(rgb.size())))
        return path + ": the pixels are cut short";
    return "";
}

void Show(Window& w, const Output& output, const std::string& path) {
    std::vector<std::uint8_t> rgb;
    int width = 0;
    int height = 0;
    std::string error = ReadPpm(path, rgb, width, height);
    const int want_width = w.width * output.scale;
    const int want_height = w.height * output.scale;
    if (error.empty() && (width != want_width || height != want_height)) {
        error = path + " is " + std::to_string(width) + "x" + std::to_string(height) +
                ", the monitor " + std::to_string(want_width) + "x" + std::to_string(want_height);
    }
    if (!error.empty()) {
        Say("refused " + std::to_string(w.shown++) + ": " + error);
        return;
    }
    Present(w, rgb, width, height);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4 || std::strlen(argv[2]) != 6) Die("usage: picture_window X,Y RRGGBB FIFO");
    const std::string wanted = argv[1];
    const unsigned long colour = std::strtoul(argv[2], nullptr, 16);
    const std::vector<std::uint8_t> solid = {static_cast<std::uint8_t>(colour >> 16),
                                             static_cast<std::uint8_t>(colour >> 8),
                                             static_cast<std::uint8_t>(colour)};
    // Read and write: the FIFO never reaches its end while we hold it.
    const int commands = open(argv[3], O_RDWR | O_CLOEXEC | O_NONBLOCK);
    if (commands < 0) Die(std::string("cannot open ") + argv[3]);

    wl_display* display = wl_display_connect(nullptr);
    if (display == nullptr) Die("no Wayland display");
    Window w;
    static const wl_output_listener output_events = {
        .geometry =
            [](void* data, wl_output*, std::int32_t x, std::int32_t y, std::int32_t, std::int32_t,
               std::int32_t, const char*, const char*, std::int32_t) {
                static_cast<Output*>(data)->place = std::to_string(x) + "," + std::to_string(y);
            },
        .mode = [](void*, wl_output*, std::uint32_t, std::int32_t, std::int32_t, std::int32_t) {},
        .done = [](void*, wl_output*) {},
        .scale = [](void* data, wl_output*,
                    std::int32_t scale) { static_cast<Output*>(data)->scale = scale; },
        .name = [](void*, wl_output*, const char*) {},
        .description = [](void*, wl_output*, const char*) {},
    };
    static const xdg_wm_base_listener ping = {
        .ping = [](void*, xdg_wm_base* base,
                   std::uint32_t serial) { xdg_wm_base_pong(base, serial); },
    };
    static const wl_registry_listener globals = {
        .global =
            [](void* data, wl_registry* registry, std::uint32_t id, const char* interface,
               std::uint32_t version) {
                auto& win = *static_cast<Window*>(data);
                const std::string name = interface;
                if (name == wl_compositor_interface.name && version >= 4) {
                    win.compositor = static_cast<wl_compositor*>(
                        wl_registry_bind(registry, id, &wl_compositor_interface, 4));
                } else if (name == wl_shm_interface.name) {
                    win.shm =
                        static_cast<wl_shm*>(wl_registry_bind(registry, id, &wl_shm_interface, 1));
                } else if (name == xdg_wm_base_interface.name) {
                    win.wm_base = static_cast<xdg_wm_base*>(
                        wl_registry_bind(registry, id, &xdg_wm_base_interface, 1));
                    xdg_wm_base_add_listener(win.wm_base, &ping, nullptr);
                } else if (name == wl_output_interface.name && version >= 2) {
                    auto* output = new Output;  // lives as long as the program
                    output->output = static_cast<wl_output*>(
                        wl_registry_bind(registry, id, &wl_output_interface, 2));
                    wl_output_add_listener(output->output, &output_events, output);
                    win.outputs.push_back(output);
                }
            },
        .global_remove = [](void*, wl_registry*, std::uint32_t) {},
    };
    wl_registry_add_listener(wl_display_get_registry(display), &globals, &w);
    wl_display_roundtrip(display);
    wl_display_roundtrip(display);
    if (w.compositor == nullptr || w.shm == nullptr || w.wm_base == nullptr)
        Die("the compositor lacks wl_compositor 4, wl_shm or xdg_wm_base");
    const Output* output = nullptr;
    for (const Output* o : w.outputs) {
        if (o->place == wanted) output = o;
    }
    if (output == nullptr) Die("no output at " + wanted);

    w.surface = wl_compositor_create_surface(w.compositor);
    wl_surface_set_buffer_scale(w.surface, output->scale);
    w.shell_surface = xdg_wm_base_get_xdg_surface(w.wm_base, w.surface);
    static const xdg_surface_listener surface_events = {
        .configure =
            [](void* data, xdg_surface* surface, std::uint32_t serial) {
                xdg_surface_ack_configure(surface, serial);
                static_cast<Window*>(data)->configured = true;
            },
    };
    xdg_surface_add_listener(w.shell_surface, &surface_events, &w);
    w.toplevel = xdg_surface_get_toplevel(w.shell_surface);
    static const xdg_toplevel_listener toplevel_events = {
        .configure =
            [](void* data, xdg_toplevel*, std::int32_t width, std::int32_t height, wl_array*) {
                auto& win = *static_cast<Window*>(data);
                if (width > 0 && height > 0) win.width = width, win.height = height;
            },
        .close = [](void*, xdg_toplevel*) {},
        .configure_bounds = [](void*, xdg_toplevel*, std::int32_t, std::int32_t) {},
        .wm_capabilities = [](void*, xdg_toplevel*, wl_array*) {},
    };
    xdg_toplevel_add_listener(w.toplevel, &toplevel_events, &w);
    xdg_toplevel_set_app_id(w.toplevel, "vemo-test-picture");
    xdg_toplevel_set_fullscreen(w.toplevel, output->output);
    wl_surface_commit(w.surface);
    while (!w.configured || w.width == 0) {
        if (wl_display_dispatch(display) < 0) Die("the compositor went away");
    }
    std::fprintf(stderr, "picture_window: the monitor at %s is %dx%d at scale %d\n", wanted.c_str(),
                 w.width * output->scale, w.height * output->scale, output->scale);
    Present(w, solid, w.width * output->scale, w.height * output->scale);

    std::string pending;
    for (;;) {
        wl_display_dispatch_pending(display);
        if (wl_display_flush(display) < 0) Die("the compositor went away");
        pollfd fds[2] = {{wl_display_get_fd(display), POLLIN, 0}, {commands, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) continue;
        if ((fds[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0 &&
            wl_display_dispatch(display) < 0)
            Die("the compositor went away");
        if ((fds[1].revents & POLLIN) != 0) {
            char chunk[4096];
            const ssize_t got = read(commands, chunk, sizeof chunk);
            if (got > 0) pending.append(chunk, static_cast<std::size_t>(got));
            std::size_t end = 0;
            while ((end = pending.find('\n')) != std::string::npos) {
                const std::string path = pending.substr(0, end);
                pending.erase(0, end + 1);
                if (!path.empty()) Show(w, *output, path);
            }
        }
    }
}
