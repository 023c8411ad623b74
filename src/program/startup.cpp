#include "program/startup.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QEventLoop>
#include <QGuiApplication>
#include <QMessageBox>
#include <QSocketNotifier>
#include <QThread>
#include <QTimer>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <utility>

#include "app/headless_face.h"
#include "app/main_window.h"
#include "app/message_box.h"
#include "app/scripted_answers.h"
#include "bus/engine_service.h"
#include "engine/camera_controller.h"
#include "engine/engine_marker.h"
#include "engine/logging.h"
#include "product/product_library.h"
#include "product/shared_status_block.h"
#include "product/tandrel.h"
#include "program/command_line.h"
#include "program/display_probe.h"
#include "settings/settings_store.h"

namespace vemo {
namespace {

constexpr char kProductNotReady[] =
    "Corvexaが起動していません。「接続許可」をクリックした後、ＯＫボタンを押してください。";
constexpr char kAlreadyRunning[] = "キャプチャー・エンジンはすでに起動しています。";

// Keeps the product's library loaded for the whole run.
struct LibraryCloser {
    void operator()(void* handle) const { dlclose(handle); }
};
std::unique_ptr<void, LibraryCloser> product_library;

// Whatever way the process leaves after the marker was set, it is cleared.
struct MarkerRelease {
    ~MarkerRelease() { ReleaseEngineMarker(shared_status_block()); }
};

// The engine of this run, once start-up has made it; and whether the run
// has no display (no window, no box: a QCoreApplication).
Engine* running_engine = nullptr;
bool headless = false;

// Whatever way the process ends past the window's close, what the product
// reads must say that the engine is off: a running recording finished, the
// off pictures in place, the marker released. Once, on the main thread, and
// without a word to the display, which is gone.
std::atomic<bool> left_off{false};

void LeaveOff() {
    if (left_off.exchange(true)) return;
    if (running_engine != nullptr && !running_engine->closed()) running_engine->LeaveOffPictures();
    ReleaseEngineMarker(shared_status_block());
}

// Qt's X11 platform ends the process with exit() when the X server goes
// away, past the stack that closes the window and releases the marker.
void LeaveOffOnExit() {
    LeaveOff();
}

// How long Qt's Wayland thread waits for the main thread to leave off: a
// recording's end of stream and a stuck screen grab each have their limit.
constexpr auto kLeaveOffLimit = std::chrono::milliseconds(kFinishLimitMs) +
                                ScreenCapture::kDefaultAnswerTimeout + std::chrono::seconds(2);

// Qt's Wayland client ends the process with _exit(1) right after it logs
// that the connection broke, from whichever thread found it (its event
// thread, often). The main thread owns the window, the camera and the screen
// capture: the line logged there leaves off at once; from another thread it
// is handed to the main thread, which ends the process itself once done, so
// that nothing it runs afterwards publishes anew. A main thread that does
// not take it in time gets the marker released at least.
void LeaveOffBeforeDisplayLoss() {
    QCoreApplication* application = QCoreApplication::instance();
    if (application == nullptr || QThread::currentThread() == application->thread()) {
        LeaveOff();
        return;
    }
    QMetaObject::invokeMethod(
        application,
        [] {
            LeaveOff();
            _exit(1);
        },
        Qt::QueuedConnection);
    std::this_thread::sleep_for(kLeaveOffLimit);
    qCWarning(logStartup) << "the main thread did not leave off in time; ending without it";
    ReleaseEngineMarker(shared_status_block());
}

// Message boxes owned by the main window once it exists, task-modal. Every
// text is logged too; without a display the box is logged and answered OK.
int ShowMessageBox(const MessageRequest& request) {
    qCWarning(logMessage).noquote() << QString::fromStdString(request.text);
    if (headless) return kMessageOk;
    QMessageBox box(QMessageBox::Warning, QString::fromStdString(request.caption),
                    QString::fromStdString(request.text), QMessageBox::Ok, main_window());
    if (request.kind == MessageKind::kOkCancel) {
        box.setStandardButtons(QMessageBox::Ok | QMessageBox::Cancel);
    }
    box.setWindowModality(Qt::ApplicationModal);
    return box.exec() == QMessageBox::Cancel ? kMessageCancel : kMessageOk;
}

// SIGTERM, SIGINT and SIGHUP close the engine as its close box does. The
// handler only notes the request and writes to a pipe that the event loop
// watches; start-up looks at the note while it waits for the product.
int signal_pipe[2] = {-1, -1};
volatile std::sig_atomic_t termination_requested = 0;

void OnTerminationSignal(int) {
    termination_requested = 1;
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = write(signal_pipe[1], &byte, 1);
}

void HandleTerminationSignals(QObject* context) {
    if (pipe2(signal_pipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
    auto* notifier = new QSocketNotifier(signal_pipe[0], QSocketNotifier::Read, context);
    QObject::connect(notifier, &QSocketNotifier::activated, context, [] {
        char drained[16];
        while (read(signal_pipe[0], drained, sizeof drained) > 0) {
        }
        // A second signal while the first one's close runs says nothing new.
        static bool told = false;
        if (!std::exchange(told, true)) qCInfo(logStartup) << "ending on a signal";
        // Open boxes and dialogs first: their event loops would hold the
        // engine (the start-up question ends the wait for the product).
        for (int open = 0; open < 16 && !headless; ++open) {
            QWidget* modal = QApplication::activeModalWidget();
            if (modal == nullptr) break;
            if (auto* dialog = qobject_cast<QDialog*>(modal)) {
                dialog->reject();
            } else {
                modal->close();
            }
        }
        if (MainWindow* window = main_window()) {
            window->close();
        } else if (running_engine != nullptr) {
            running_engine->face().Close();
        }
    });
    struct sigaction action {};
    action.sa_handler = OnTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signal_number : {SIGTERM, SIGINT, SIGHUP})
        sigaction(signal_number, &action, nullptr);
}

// Whether scripted answers stand in for the boxes (tests of the program).
bool scripted_answers = false;

// Runs the event loop for a second (a signal is handled meanwhile); false
// once the engine is to end.
bool WaitASecond() {
    QEventLoop loop;
    QTimer::singleShot(1000, &loop, &QEventLoop::quit);
    loop.exec();
    return termination_requested == 0;
}

}  // namespace

// Start-up up to the engine: the product's library and shared record, the
// wait for the product, the one-engine check. 0 when the engine may start,
// else the process's exit code. What it waits for is told through `service`.
int PrepareStartup(EngineService& service) {
    product_library.reset(OpenProductLibrary());
    if (!product_library) {
        ReportError("Failed to load tandrel.dll.");
        return 1;
    }
    using AllocFunction = void* (*)();
    auto alloc =
        reinterpret_cast<AllocFunction>(dlsym(product_library.get(), "AllocSharedMemoryExt"));
    void* record = alloc != nullptr ? alloc() : nullptr;
    if (record == nullptr) {
        ReportError("Failed to get shared memory.\n");
        return 1;
    }
    AttachSharedStatusBlock(record);
    SharedStatusBlock& status = shared_status_block();

    // Without a display (and without scripted answers) the question becomes
    // a log line, and the engine looks for the product every second.
    const bool ask = !headless || scripted_answers;
    if (!ask && status.product_ready() == 0) {
        // Nobody can click here: say what ends the wait instead.
        const char* name = std::getenv(tandrel::kNameVariable);
        const std::string how =
            std::string(" (no display: waiting for the product to mark the shared record ") +
            (name != nullptr && *name != '\0' ? name : tandrel::kDefaultName) +
            " ready; without it: vemoctl product ready 1)";
        qCWarning(logStartup).noquote()
            << QString::fromUtf8(kProductNotReady) + QString::fromStdString(how);
        service.SetStartupWait(kProductNotReady + how);
    }
    while (status.product_ready() == 0) {
        const bool given_up =
            ask ? AskOkCancel("%s", kProductNotReady) == kMessageCancel : !WaitASecond();
        if (given_up || termination_requested) {
            // Another engine's marker stays as it is.
            if (!MarkerHeldByLiveEngine(status)) status.set_engine_running(0);
            return 1;
        }
    }
    if (std::uint32_t holder = 0; !ClaimEngineMarker(status, &holder)) {
        // The running engine may have no window to close (no display, or
        // one out of sight): its process and the way to end it.
        ReportError("%s\n(process %u; end it with: kill %u)", kAlreadyRunning, holder, holder);
        return 1;
    }
    std::atexit(LeaveOffOnExit);
    SetDisplayLostHandler(LeaveOffBeforeDisplayLoss);
    return 0;
}

int RunEngine(int argc, char** argv) {
    // --help and --version answer without a display or a product.
    if (const std::optional<int> status = HandleCommandLine(argc, argv)) return *status;
    // Before the application, so that Qt's own messages while it starts carry
    // the time stamp and category too.
    SetUpLogging(VerboseRequested(argc, argv));
    headless = !DisplayReachable(qgetenv("QT_QPA_PLATFORM").toStdString());
    // A Wayland session gets a native window, XWayland only when the Wayland
    // platform cannot start; a display that goes away meanwhile leaves a
    // window nobody sees.
    if (!headless && !qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")
                                       ? "xcb;offscreen"
                                       : "wayland;xcb;offscreen");
    }
    std::unique_ptr<QCoreApplication> application =
        headless ? std::make_unique<QCoreApplication>(argc, argv)
                 : std::make_unique<QApplication>(argc, argv);
    // Scripted answers for tests of the whole program; VEMO_MESSAGE_NESTED=MS
    // keeps each box "open" that long in a nested event loop, as a real box.
    const QString answers = qEnvironmentVariable("VEMO_MESSAGE_ANSWERS");
    scripted_answers = !answers.isNull();
    const int nested_ms = qEnvironmentVariableIntValue("VEMO_MESSAGE_NESTED");
    MessageSink sink = answers.isNull() ? MessageSink(ShowMessageBox)
                       : nested_ms > 0  ? ScriptedMessageSink(answers, nested_ms, true)
                                        : ScriptedMessageSink(answers);
    if (const QString files = qEnvironmentVariable("VEMO_FILE_ANSWERS"); !files.isNull()) {
        SetFileChooser(ScriptedFileChooser(files));
    }

    HandleTerminationSignals(application.get());
    // A write past the file-size limit fails with EFBIG, which the recording
    // reports, rather than ending the engine.
    std::signal(SIGXFSZ, SIG_IGN);
    MarkerRelease release_marker;
    // On the bus before start-up can wait on anything: other programs learn
    // what it waits for.
    EngineService service;
    SetMessageSink(service.Tracked(std::move(sink)));
    if (const int code = PrepareStartup(service); code != 0) return code;
    if (termination_requested) return 0;
    qCInfo(logStartup).noquote() << "started in" << QDir::currentPath() << "on the"
                                 << (headless ? QStringLiteral("headless")
                                              : QGuiApplication::platformName())
                                 << "platform";

    HeadlessFace headless_face;
    std::unique_ptr<Engine> headless_engine;
    std::unique_ptr<MainWindow> window;
    // Forgotten before the engine goes, whichever way this returns.
    struct ForgetEngine {
        ~ForgetEngine() { running_engine = nullptr; }
    } forget_engine;
    if (headless) {
        headless_engine = std::make_unique<Engine>(headless_face);
        headless_face.set_engine(headless_engine.get());
        running_engine = headless_engine.get();
    } else {
        window = std::make_unique<MainWindow>();
        window->ResizeWindow(320, 260);
        window->show();
        running_engine = &window->engine();
    }
    running_engine->Start();
    // A close while a start-up box was open (the box runs the event loop)
    // left nothing running.
    if (running_engine->closed()) return 0;
    // A signal that came during start-up closes the engine as soon as it runs.
    if (termination_requested) {
        QTimer::singleShot(0, running_engine, [] { running_engine->face().Close(); });
    }
    service.Attach(*running_engine);
    return QCoreApplication::exec();
}

}  // namespace vemo
