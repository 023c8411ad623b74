// The portal handshake on a private session bus: without a portal, against
// a portal of the test's own that stays silent, never responds, refuses, or
// grants and later ends the session; and the request paths it predicts.

#include <fcntl.h>
#include <gio/gio.h>
#include <gio/gunixfdlist.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/screen_settings.h"
#include "screen/grab_worker.h"
#include "screen/portal/portal_session.h"
#include "screen/screen_capture.h"
#include "screen/screen_folder.h"
#include "support/private_bus.h"
#include "support/test_support.h"

namespace vemo::screen {
namespace {

using namespace std::chrono_literals;

TEST(PortalSession, PredictsTheRequestPathFromItsBusName) {
    EXPECT_EQ(PortalSenderPart(":1.42"), "1_42");
    EXPECT_EQ(PortalSenderPart(":1.2.3"), "1_2_3");
    EXPECT_EQ(PortalRequestPath(":1.42", "vemo_7_1"),
              "/org/freedesktop/portal/desktop/request/1_42/vemo_7_1");
}

TEST(PortalSession, ABusWithoutAPortalSaysSo) {
    const test::TempDir dir;
    const test::PrivateBus bus(dir);
    ASSERT_FALSE(bus.address().empty());
    ::setenv("DBUS_SESSION_BUS_ADDRESS", bus.address().c_str(), 1);

    std::string error;
    const auto session = PortalSession::Open("", PortalLimits{}, error);
    EXPECT_EQ(session, nullptr);
    EXPECT_EQ(error,
              "no screen-cast portal on the session bus (org.freedesktop.portal.Desktop is not "
              "running)");

    ::setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + (dir / "nothing-here")).c_str(), 1);
    EXPECT_EQ(PortalSession::Open("", PortalLimits{}, error), nullptr);
    EXPECT_EQ(error.rfind("no screen-cast portal on the session bus: cannot connect to the "
                          "session bus",
                          0),
              0u)
        << error;
}

// A bus that takes the connection and never says a word: the wait ends in
// time, and the attempt is ended and freed, not left pending.
TEST(PortalSession, ABusThatNeverAnswersEndsTheWaitInTime) {
    const test::TempDir dir;
    const std::string path = dir / "mute-bus";
    const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(listener, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    ASSERT_LT(path.size(), sizeof address.sun_path);
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    ASSERT_EQ(::bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listener, 4), 0);
    ::setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + path).c_str(), 1);

    std::string error;
    const PortalLimits limits{std::chrono::milliseconds(2000), std::chrono::milliseconds(500)};
    EXPECT_EQ(PortalSession::Open("", limits, error), nullptr);
    EXPECT_EQ(error,
              "no screen-cast portal on the session bus: the session bus did not answer within "
              "0.5 s");
    // The attempt given up on is over: its end of the connection is closed.
    const int accepted = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    ASSERT_GE(accepted, 0);
    // What it said before it gave up is read; then its end, which a
    // leaked attempt never reaches (10 s is long enough to tell).
    char said[256];
    ssize_t got = 0;
    pollfd readable{accepted, POLLIN, 0};
    while (::poll(&readable, 1, 10000) > 0 && (got = ::recv(accepted, said, sizeof said, 0)) > 0) {
    }
    EXPECT_EQ(got, 0) << "the connection is still open";
    ::close(accepted);
    ::close(listener);
}

constexpr const char* kIntrospection = R"(<node>
  <interface name="org.freedesktop.portal.ScreenCast">
    <method name="CreateSession">
      <arg type="a{sv}" direction="in"/><arg type="o" direction="out"/>
    </method>
    <method name="SelectSources">
      <arg type="o" direction="in"/><arg type="a{sv}" direction="in"/>
      <arg type="o" direction="out"/>
    </method>
    <method name="Start">
      <arg type="o" direction="in"/><arg type="s" direction="in"/>
      <arg type="a{sv}" direction="in"/><arg type="o" direction="out"/>
    </method>
    <method name="OpenPipeWireRemote">
      <arg type="o" direction="in"/><arg type="a{sv}" direction="in"/>
      <arg type="h" direction="out"/>
    </method>
    <property name="version" type="u" access="read"/>
    <property name="AvailableSourceTypes" type="u" access="read"/>
    <property name="AvailableCursorModes" type="u" access="read"/>
  </interface>
  <interface name="org.freedesktop.portal.Session">
    <method name="Close"/>
  </interface>
</node>)";

// A screen-cast portal of the test's own, on its own thread and bus
// connection, answering as `mode` says.
class FakePortal {
  public:
    // kAskUser: Start waits for Answer(), as for a user at a dialog. kRejectToken: grants,
    // but refuses a restore token outright, as xdg-desktop-portal does one
    // that is no UUID. kMalformedResponse: every Response is (us).
    enum class Mode {
        kSilent,
        kNoResponse,
        kRefuseStart,
        kAskUser,
        kRejectToken,
        kGrant,
        kMalformedResponse
    };

    FakePortal(const std::string& address, Mode mode) : address_(address), mode_(mode) {
        thread_ = std::thread([this] { Run(); });
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return ready_; });
    }
    ~FakePortal() {
        g_main_context_invoke(
            context_,
            +[](gpointer loop) -> gboolean {
                g_main_loop_quit(static_cast<GMainLoop*>(loop));
                return G_SOURCE_REMOVE;
            },
            loop_);
        thread_.join();
        g_main_loop_unref(loop_);
        g_main_context_unref(context_);
    }
    FakePortal(const FakePortal&) = delete;
    FakePortal& operator=(const FakePortal&) = delete;

    bool owns_name() const { return owns_name_; }

    // The compositor ends the session.
    void CloseSession() {
        const std::lock_guard lock(mutex_);
        g_dbus_connection_emit_signal(connection_, nullptr, session_path_.c_str(),
                                      "org.freedesktop.portal.Session", "Closed",
                                      g_variant_new("(a{sv})", nullptr), nullptr);
    }

    // The options SelectSources received, as text.
    std::string selected() {
        const std::lock_guard lock(mutex_);
        return selected_;
    }

    // Waits (at most 10 s) for a Start that asks the user.
    bool WaitForQuestion() {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(10), [this] { return asking_; });
    }

    // The user answers the question Start asked: 0 allows, 1 refuses.
    void Answer(std::uint32_t code) {
        const std::lock_guard lock(mutex_);
        Respond(question_sender_.c_str(), question_path_, code, g_variant_ref_sink(question_));
        g_variant_unref(question_);
        asking_ = false;
    }

    int sessions() {
        const std::lock_guard lock(mutex_);
        return sessions_;
    }

    bool closed() {
        const std::lock_guard lock(mutex_);
        return closed_;
    }

    // Waits (at most 10 s) for the client to close its session.
    bool WaitForClose() {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(10), [this] { return closed_; });
    }

  private:
    void Run() {
        g_main_context_push_thread_default(context_);
        connection_ = g_dbus_connection_new_for_address_sync(
            address_.c_str(),
            static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                              G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
            nullptr, nullptr, nullptr);
        GDBusNodeInfo* node = g_dbus_node_info_new_for_xml(kIntrospection, nullptr);
        static const GDBusInterfaceVTable vtable = {
            &FakePortal::OnMethod, &FakePortal::OnProperty, nullptr, {}};
        guint object = 0;
        if (connection_ != nullptr) {
            object = g_dbus_connection_register_object(
                connection_, "/org/freedesktop/portal/desktop", node->interfaces[0], &vtable, this,
                nullptr, nullptr);
            GVariant* reply = g_dbus_connection_call_sync(
                connection_, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                "org.freedesktop.DBus", "RequestName",
                g_variant_new("(su)", "org.freedesktop.portal.Desktop", 4u), G_VARIANT_TYPE("(u)"),
                G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
            owns_name_ = reply != nullptr;
            if (reply != nullptr) g_variant_unref(reply);
        }
        session_interface_ = node->interfaces[1];
        {
            const std::lock_guard lock(mutex_);
            ready_ = true;
        }
        changed_.notify_all();
        g_main_loop_run(loop_);

        for (GDBusMethodInvocation* held : held_) {
            g_dbus_method_invocation_return_dbus_error(held, "org.freedesktop.DBus.Error.Failed",
                                                       "the portal ended");
        }
        if (connection_ != nullptr) {
            if (object != 0) g_dbus_connection_unregister_object(connection_, object);
            if (session_object_ != 0) {
                g_dbus_connection_unregister_object(connection_, session_object_);
            }
            g_dbus_connection_close_sync(connection_, nullptr, nullptr);
            g_object_unref(connection_);
        }
        g_dbus_node_info_unref(node);
        while (g_main_context_iteration(context_, FALSE)) {
        }
        g_main_context_pop_thread_default(context_);
    }

    void Respond(const gchar* sender, const std::string& path, std::uint32_t code,
                 GVariant* results) {
        GVariant* parameters = g_variant_new("(u@a{sv})", code, results);
        if (mode_ == Mode::kMalformedResponse) {
            g_variant_unref(g_variant_ref_sink(parameters));
            parameters = g_variant_new("(us)", code, "granted");
        }
        g_dbus_connection_emit_signal(connection_, sender, path.c_str(),
                                      "org.freedesktop.portal.Request", "Response", parameters,
                                      nullptr);
    }

    static std::string Token(GVariant* options, const char* key) {
        const gchar* token = "";
        g_variant_lookup(options, key, "&s", &token);
        return token;
    }

    static void OnMethod(GDBusConnection*, const gchar* sender, const gchar*, const gchar*,
                         const gchar* method, GVariant* parameters,
                         GDBusMethodInvocation* invocation, gpointer data) {
        auto& self = *static_cast<FakePortal*>(data);
        std::string caller = sender + 1;
        for (char& c : caller)
            if (c == '.') c = '_';
        const std::string base = "/org/freedesktop/portal/desktop/";
        const std::string name = method;
        if (name == "Close") {
            const std::lock_guard lock(self.mutex_);
            self.closed_ = true;
            self.changed_.notify_all();
            g_dbus_method_invocation_return_value(invocation, nullptr);
            return;
        }
        if (self.mode_ == Mode::kSilent) {
            self.held_.push_back(invocation);
            return;
        }
        GVariant* options = g_variant_get_child_value(parameters, name == "CreateSession" ? 0
                                                                  : name == "Start"       ? 2
                                                                                          : 1);
        const std::string request =
            base + "request/" + caller + "/" + Token(options, "handle_token");
        if (self.mode_ == Mode::kRejectToken && name == "SelectSources" &&
            !Token(options, "restore_token").empty()) {
            g_variant_unref(options);
            g_dbus_method_invocation_return_dbus_error(
                invocation, "org.freedesktop.DBus.Error.InvalidArgs", "Restore token is invalid");
            return;
        }
        if (name == "OpenPipeWireRemote") {
            int ends[2] = {-1, -1};
            EXPECT_EQ(::pipe(ends), 0);
            GUnixFDList* fds = g_unix_fd_list_new_from_array(ends, 1);
            ::close(ends[1]);
            g_dbus_method_invocation_return_value_with_unix_fd_list(invocation,
                                                                    g_variant_new("(h)", 0), fds);
            g_object_unref(fds);
        } else {
            g_dbus_method_invocation_return_value(invocation,
                                                  g_variant_new("(o)", request.c_str()));
        }
        GVariantBuilder results;
        g_variant_builder_init(&results, G_VARIANT_TYPE_VARDICT);
        std::uint32_t code = 0;
        if (name == "CreateSession") {
            const std::string session =
                base + "session/" + caller + "/" + Token(options, "session_handle_token");
            {
                const std::lock_guard lock(self.mutex_);
                self.session_path_ = session;
                ++self.sessions_;
            }
            static const GDBusInterfaceVTable session_vtable = {
                &FakePortal::OnMethod, nullptr, nullptr, {}};
            self.session_object_ = g_dbus_connection_register_object(
                self.connection_, session.c_str(), self.session_interface_, &session_vtable, data,
                nullptr, nullptr);
            g_variant_builder_add(&results, "{sv}", "session_handle",
                                  g_variant_new_string(session.c_str()));
        } else if (name == "SelectSources") {
            gchar* text = g_variant_print(options, FALSE);
            const std::lock_guard lock(self.mutex_);
            self.selected_ = text;
            g_free(text);
        } else if (name == "Start") {
            if (self.mode_ == Mode::kNoResponse) {
                g_variant_builder_clear(&results);
                g_variant_unref(options);
                return;
            }
            if (self.mode_ == Mode::kRefuseStart) code = 1;
            GVariantBuilder streams;
            g_variant_builder_init(&streams, G_VARIANT_TYPE("a(ua{sv})"));
            GVariantBuilder props;
            g_variant_builder_init(&props, G_VARIANT_TYPE_VARDICT);
            g_variant_builder_add(&props, "{sv}", "position", g_variant_new("(ii)", 0, 0));
            g_variant_builder_add(&props, "{sv}", "size", g_variant_new("(ii)", 640, 480));
            g_variant_builder_add(&streams, "(ua{sv})", 42u, &props);
            g_variant_builder_add(&results, "{sv}", "streams", g_variant_builder_end(&streams));
            g_variant_builder_add(&results, "{sv}", "restore_token",
                                  g_variant_new_string("fresh-token"));
        }
        g_variant_unref(options);
        if (name == "Start" && self.mode_ == Mode::kAskUser) {
            const std::lock_guard lock(self.mutex_);
            self.question_sender_ = sender;
            self.question_path_ = request;
            self.question_ = g_variant_builder_end(&results);
            self.asking_ = true;
            self.changed_.notify_all();
            return;
        }
        if (name != "OpenPipeWireRemote") {
            self.Respond(sender, request, code, g_variant_builder_end(&results));
        } else {
            g_variant_builder_clear(&results);
        }
    }

    static GVariant* OnProperty(GDBusConnection*, const gchar*, const gchar*, const gchar*,
                                const gchar* property, GError**, gpointer) {
        const std::string name = property;
        return g_variant_new_uint32(name == "version" ? 4u : 7u);
    }

    std::string address_;
    Mode mode_;
    GMainContext* context_ = g_main_context_new();
    GMainLoop* loop_ = g_main_loop_new(context_, FALSE);
    GDBusConnection* connection_ = nullptr;
    GDBusInterfaceInfo* session_interface_ = nullptr;
    guint session_object_ = 0;
    std::vector<GDBusMethodInvocation*> held_;
    bool owns_name_ = false;

    std::mutex mutex_;
    std::condition_variable changed_;
    bool ready_ = false;
    bool closed_ = false;
    int sessions_ = 0;
    bool asking_ = false;
    std::string question_sender_;
    std::string question_path_;
    GVariant* question_ = nullptr;
    std::string session_path_;
    std::string selected_;
    std::thread thread_;  // last: it uses the members above
};

class PortalSessionTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(bus_.address().empty());
        ::setenv("DBUS_SESSION_BUS_ADDRESS", bus_.address().c_str(), 1);
    }
    // Short limits: what never answers ends the wait soon.
    static constexpr PortalLimits kLimits{std::chrono::milliseconds(2000),
                                          std::chrono::milliseconds(1000)};

    test::TempDir dir_;
    test::PrivateBus bus_{dir_};
};

TEST_F(PortalSessionTest, APortalThatNeverAnswersEndsTheWaitInTime) {
    const FakePortal portal(bus_.address(), FakePortal::Mode::kSilent);
    ASSERT_TRUE(portal.owns_name());
    std::string error;
    EXPECT_EQ(PortalSession::Open("", kLimits, error), nullptr);
    EXPECT_EQ(error, "the screen-cast portal did not answer the request for a session within 1 s");
}

TEST_F(PortalSessionTest, APortalThatNeverRespondsEndsTheWaitInTime) {
    const FakePortal portal(bus_.address(), FakePortal::Mode::kNoResponse);
    ASSERT_TRUE(portal.owns_name());
    std::string error;
    EXPECT_EQ(PortalSession::Open("", kLimits, error), nullptr);
    EXPECT_EQ(error,
              "the screen-cast portal did not answer the start of the screen cast within 2 s (a "
              "permission dialog may be waiting)");
}

TEST_F(PortalSessionTest, AResponseOfAnotherTypeFailsTheHandshake) {
    const FakePortal portal(bus_.address(), FakePortal::Mode::kMalformedResponse);
    ASSERT_TRUE(portal.owns_name());
    std::string error;
    EXPECT_EQ(PortalSession::Open("", kLimits, error), nullptr);
    EXPECT_EQ(error,
              "the screen-cast portal answered the request for a session with a malformed "
              "response ((us) where (ua{sv}) belongs)");
}

TEST_F(PortalSessionTest, ARefusalIsTheUsersAnswer) {
    FakePortal portal(bus_.address(), FakePortal::Mode::kRefuseStart);
    ASSERT_TRUE(portal.owns_name());
    std::string error;
    EXPECT_EQ(PortalSession::Open("kept-token", kLimits, error), nullptr);
    EXPECT_EQ(error, "the screen-cast permission was refused");
    // The session the refusal left is closed.
    EXPECT_TRUE(portal.WaitForClose());
}

TEST_F(PortalSessionTest, AGrantedSessionEndsWhenTheCompositorEndsIt) {
    FakePortal portal(bus_.address(), FakePortal::Mode::kGrant);
    ASSERT_TRUE(portal.owns_name());
    std::string error;
    const auto session = PortalSession::Open("kept-token", kLimits, error);
    ASSERT_NE(session, nullptr) << error;
    // Monitors, several, no pointer, kept until revoked, with the token.
    const std::string selected = portal.selected();
    for (const char* option :
         {"'types': <uint32 1>", "'multiple': <true>", "'cursor_mode': <uint32 1>",
          "'persist_mode': <uint32 2>", "'restore_token': <'kept-token'>"}) {
        EXPECT_NE(selected.find(option), std::string::npos) << option << " in " << selected;
    }
    ASSERT_EQ(session->streams().size(), 1u);
    EXPECT_EQ(session->streams()[0].node_id, 42u);
    EXPECT_TRUE(session->streams()[0].has_position);
    EXPECT_EQ(session->streams()[0].width, 640);
    EXPECT_EQ(session->restore_token(), "fresh-token");
    EXPECT_TRUE(session->TakePipeWireFd().valid());

    std::string reason;
    EXPECT_FALSE(session->Ended(reason));
    portal.CloseSession();
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!session->Ended(reason) && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(reason, "the compositor ended the screen cast");
}

TEST_F(PortalSessionTest, ATokenThePortalRejectsGivesAPlainStart) {
    FakePortal portal(bus_.address(), FakePortal::Mode::kRejectToken);
    ASSERT_TRUE(portal.owns_name());
    std::string error;
    const auto session = PortalSession::Open("edited-by-hand", kLimits, error);
    ASSERT_NE(session, nullptr) << error;
    EXPECT_EQ(portal.selected().find("restore_token"), std::string::npos) << portal.selected();
    EXPECT_EQ(session->restore_token(), "fresh-token");
}

TEST_F(PortalSessionTest, TheSessionIsClosedAtTheEnd) {
    FakePortal portal(bus_.address(), FakePortal::Mode::kGrant);
    ASSERT_TRUE(portal.owns_name());
    std::string error;
    auto session = PortalSession::Open("", kLimits, error);
    ASSERT_NE(session, nullptr) << error;
    EXPECT_EQ(portal.selected().find("restore_token"), std::string::npos);
    session.reset();
    EXPECT_TRUE(portal.WaitForClose());
}

// A start that asks the user returns at once and the user's answer is told
// by the grab it brings. A stop while the question shows does not withdraw
// it (a desktop may not take that), and the next start carries on with it
// instead of asking a second time.
TEST_F(PortalSessionTest, AQuestionToTheUserOutlivesAStopAndItsAnswerIsTold) {
    FakePortal portal(bus_.address(), FakePortal::Mode::kAskUser);
    ASSERT_TRUE(portal.owns_name());
    ::setenv("VEMO_SCREEN_BACKEND", "portal", 1);
    ::setenv("XDG_STATE_HOME", dir_.path().c_str(), 1);
    test::MakeScreenFolder(dir_);
    const std::filesystem::path before = std::filesystem::current_path();
    ASSERT_EQ(::chdir(dir_.path().c_str()), 0);

    std::promise<ScreenGrabResult> grabbed;
    std::atomic<int> grabs{0};
    {
        ScreenCapture capture;
        capture.set_grab_done([&](ScreenGrabResult grab) {
            if (grabs++ == 0) grabbed.set_value(std::move(grab));
        });
        ScreenSettings settings = ScreenSettingsOf(Settings{});
        settings.screen_timer = 5;
        settings.screen_one = 1;
        ScreenStartResult started = capture.Start(settings);
        EXPECT_TRUE(started.pending);
        EXPECT_TRUE(started.grabbable);
        ASSERT_TRUE(portal.WaitForQuestion());
        capture.RequestGrab();  // nothing to tell yet
        capture.Stop();
        EXPECT_EQ(GrabWorker::abandoned_running(), 0) << "the start held up the worker";
        started = capture.Start(settings);
        EXPECT_TRUE(started.pending);
        EXPECT_FALSE(portal.closed()) << "the question was withdrawn";

        portal.Answer(1);
        auto answer = grabbed.get_future();
        ASSERT_EQ(answer.wait_for(10s), std::future_status::ready);
        const ScreenGrabResult grab = answer.get();
        EXPECT_FALSE(grab.ok);
        EXPECT_TRUE(grab.report);
        EXPECT_NE(grab.error.find("the screen-cast permission was refused"), std::string::npos)
            << grab.error;
        EXPECT_EQ(portal.sessions(), 1);
        capture.Stop();
    }
    ::unsetenv("VEMO_SCREEN_BACKEND");
    ::unsetenv("XDG_STATE_HOME");
    std::filesystem::current_path(before);
}

}  // namespace
}  // namespace vemo::screen
