#include "app/main_window.h"

#include <QCloseEvent>
#include <QKeyEvent>
#include <QMenuBar>
#include <QPainter>

#include <algorithm>
#include <cstdio>

#include "app/engine_marker.h"
#include "app/message_box.h"
#include "app/status_bar.h"
#include "camera/camera_graph.h"
#include "camera/frame_grabber.h"
#include "devices/devices_menu.h"
#include "imaging/camera_publish.h"
#include "imaging/engine_state.h"
#include "product/shared_status_block.h"
#include "screen/screen_capture.h"

namespace vemo {
namespace {

MainWindow* the_window = nullptr;

// The border the window draws around the status bar, in pixels.
constexpr int kBorder = 1;

// A stored interval of 0 seconds would make a timer fire without pause.
unsigned SafeInterval(unsigned interval_ms) {
    return std::max(interval_ms, 1000u);
}

}  // namespace

MainWindow* main_window() {
    return the_window;
}

VideoArea::VideoArea(QWidget* parent) : QWidget(parent), idle_(":/vemo/idle.png") {
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void VideoArea::ShowFrame(QImage frame) {
    frame_ = std::move(frame);
    update();
}

void VideoArea::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    if (engine_state.camera_on == 0) {
        // The idle picture is stretched to the window's outer width and to its
        // outer height less 70 pixels, on black.
        const QSize outer = window()->frameGeometry().size();
        painter.fillRect(QRect(QPoint(0, 0), outer.expandedTo(size())), Qt::black);
        painter.drawPixmap(QRect(0, 0, outer.width(), outer.height() - 70), idle_);
        return;
    }
    painter.fillRect(rect(), Qt::black);
    if (!frame_.isNull()) painter.drawImage(rect(), frame_);
}

MainWindow::MainWindow() {
    the_window = this;
    setWindowTitle(QString::fromUtf8("Vemo キャプチャー・エンジン"));
    setWindowIcon(QIcon(":/vemo/icon.png"));
    setFocusPolicy(Qt::StrongFocus);
    auto* client = new QWidget(this);
    setCentralWidget(client);
    video_ = new VideoArea(client);
    status_ = new StatusBar(client);

    menus_ = BuildMenuBar(menuBar(), [this](int id) { OnCommand(id); });
    // The Devices menu is listed afresh when it opens after a device came or
    // went, before the menu states are set.
    connect(menus_.devices, &QMenu::aboutToShow, this, [] { BuildDevicesMenu(); });
    for (QMenu* menu : {menus_.file, menus_.devices, menus_.properties, menus_.help}) {
        connect(menu, &QMenu::aboutToShow, this, [this] { UpdateMenuStates(); });
    }

    camera_timer_.setObjectName("timer1");
    screen_timer_.setObjectName("timer2");
    connect(&camera_timer_, &QTimer::timeout, this, [] { engine_state.frame_requested = 1; });
    // Timer 2 keeps running after a stop; its ticks find screen_on clear.
    connect(&screen_timer_, &QTimer::timeout, this, [] {
        if (engine_state.screen_on != 0) GrabScreen();
    });
    screen_timer_hook = [this](unsigned interval_ms) { SetScreenTimer(interval_ms); };
    screen_report_hook = [](const std::string& message) { ReportError("%s", message.c_str()); };

    // The camera and the device list post their events here and reach the
    // window through these.
    SetEngineEventTarget(this);
    SetCameraWindowHooks({[this](int width, int height) { ResizeWindow(width, height); },
                          [this](unsigned interval_ms) { SetCameraTimer(interval_ms); },
                          [this] { video_->ShowFrame(QImage()); }});
    SetDevicesMenuHooks({menus_.devices,
                         [this](QMenu* menu, int id, const QString& text) {
                             return MakeCommandAction(menu, id, text,
                                                      [this](int command) { OnCommand(command); });
                         },
                         [this](const QString& text) { SetStatusText(status_, text); },
                         {}});
    move(x(), 0);
    resize(260, 310);
}

MainWindow::~MainWindow() {
    screen_timer_hook = nullptr;
    screen_report_hook = nullptr;
    if (EngineEventTarget() == this) SetEngineEventTarget(nullptr);
    SetCameraWindowHooks({});
    SetDevicesMenuHooks({});
    if (the_window == this) the_window = nullptr;
}

QAction* MainWindow::action(int id) const {
    const auto found = menus_.actions.find(id);
    return found != menus_.actions.end() ? found->second : nullptr;
}

void MainWindow::ResizeWindow(int width, int height) {
    // The menu bar may wrap at a narrow width: ask for its height at this one.
    const int menu_height =
        std::max(menuBar()->heightForWidth(width), menuBar()->sizeHint().height());
    resize(width, menu_height + height + StatusBarHeight() + kBorder);
    engine_state.frame_width = width;
    engine_state.frame_height = height;
}

void MainWindow::SetCameraTimer(unsigned interval_ms) {
    camera_timer_.start(SafeInterval(interval_ms));
}

void MainWindow::SetScreenTimer(unsigned interval_ms) {
    screen_timer_.start(SafeInterval(interval_ms));
}

void MainWindow::KillCameraTimer() {
    camera_timer_.stop();
}

void MainWindow::LayoutChildren() {
    const QWidget* client = centralWidget();
    const int h = StatusBarHeight();
    status_->setGeometry(-kBorder, client->height() - (h + kBorder), client->width() + 2 * kBorder,
                         h + 2 * kBorder);
    video_->setGeometry(0, 0, client->width(), client->height() - (h + kBorder));
}

void MainWindow::resizeEvent(QResizeEvent* event) {
    QMainWindow::resizeEvent(event);
    LayoutChildren();
    video_->update();
}

void MainWindow::UpdateMenuStates() {
    const bool capturing = engine_state.capturing != 0;
    for (QAction* item : menus_.properties->actions()) {
        const int id = item->data().toInt();
        if (id >= kCmdFirstPropertyPage && id <= kCmdLastPropertyPage) item->setEnabled(!capturing);
    }
    action(kCmdCamera)->setEnabled(!capturing);
    action(kCmdCamera)->setChecked(engine_state.camera_on != 0);
    action(kCmdScreen)->setEnabled(!capturing);
    action(kCmdScreen)->setChecked(engine_state.screen_on != 0);
    for (QAction* item : menus_.devices->actions()) {
        const int id = item->data().toInt();
        if (id >= kCmdFirstDevice && id <= kCmdLastDevice) item->setEnabled(!capturing);
    }
}

void MainWindow::keyPressEvent(QKeyEvent* event) {
    const Qt::KeyboardModifiers held = event->modifiers();
    if (event->key() == Qt::Key_F12 && (held & Qt::ControlModifier) && (held & Qt::AltModifier)) {
        OpenImageProperties();
    }
    // Escape while a capture to file runs stops it; capture to file comes
    // with the capture work and until then never runs.
    QMainWindow::keyPressEvent(event);
}

bool MainWindow::event(QEvent* event) {
    if (event->type() == kFrameReadyEvent) {
        PublishRequestedFrame();
        return true;
    }
    if (event->type() == kGraphEvent) {
        HandleGraphEvents();
        return true;
    }
    if (event->type() == kPreviewFrameEvent) {
        ShowPreviewPicture();
        return true;
    }
    if (event->type() == kDeviceChangeEvent) {
        HandleDeviceChanges();
        return true;
    }
    return QMainWindow::event(event);
}

void MainWindow::PublishRequestedFrame() {
    const PublishResult result = PublishCameraFrame();
    if (result.published) {
        last_problem_.clear();
    } else if (!result.error.ok()) {
        ReportPublishProblem(
            QString::fromStdString("Camera picture not published: " + result.error.message));
    }
}

void MainWindow::HandleGraphEvents() {
    bool error_abort = false;
    std::uint32_t error_code = 0;
    std::string error_detail;
    for (const GraphEvent& graph_event : DrainGraphEvents()) {
        switch (graph_event.kind) {
            case GraphEventKind::kErrorAbort:
                // A capture to file, once there is one, is stopped here too.
                error_abort = true;
                error_code = graph_event.code;
                error_detail = graph_event.detail;
                break;
            case GraphEventKind::kDeviceLost:
                // Another device than ours (an earlier camera) changes nothing.
                if (!IsCurrentCamera(graph_event.identity)) break;
                StopLostCamera();
                ReportError("Stopping Capture (Device Lost). Select New Capture Device");
                return;
            case GraphEventKind::kDeviceBusy:
                // Trying again would only fail again: the preview stays halted
                // until the camera is switched on or chosen anew.
                HaltPreview();
                ReportError(
                    "Could not connect capture pin #0 to grabber.\r\nIs the capture device "
                    "being used by another application?%s%s",
                    graph_event.detail.empty() ? "" : "\n", graph_event.detail.c_str());
                return;
        }
    }
    if (!error_abort) return;
    RestartPreviewAfterError();
    if (error_detail.empty()) {
        ReportError("ERROR during capture, error code=%08x", error_code);
    } else {
        ReportError("ERROR during capture, error code=%08x\n%s", error_code, error_detail.c_str());
    }
}

void MainWindow::ShowPreviewPicture() {
    TakePreviewPicture([this](const PreviewPicture& picture) {
        if (engine_state.previewing == 0) return;
        const QImage frame(picture.pixels.data(), picture.width, picture.height,
                           static_cast<qsizetype>(picture.stride), QImage::Format_BGR888);
        // A copy at the size it is drawn, in the format painting is fastest with.
        video_->ShowFrame(
            frame.scaled(video_->size(), Qt::IgnoreAspectRatio, Qt::FastTransformation)
                .convertToFormat(QImage::Format_RGB32));
    });
}

void MainWindow::ReportPublishProblem(const QString& text) {
    // Shown in the status bar and logged once, not in a box: the next frame
    // comes within seconds and would pile up boxes.
    SetStatusText(status_, text);
    if (text != last_problem_) std::fprintf(stderr, "vemo: %s\n", qPrintable(text));
    last_problem_ = text;
}

void MainWindow::StartScreenPublishing() {
    StartScreenCapture();
    GrabScreen();
}

void MainWindow::StopScreenPublishing() {
    StopScreenCapture();
}

void MainWindow::closeEvent(QCloseEvent* event) {
    if (!closed_) {
        closed_ = true;
        // The camera's off pictures go in place and its graph comes down
        // (a capture to file, once there is one, stops here too), then the
        // screen's.
        HaltPreview();
        DismantleGraph();
        ReleaseCameraFilters();
        ReleaseDevices();
        StopScreenCapture();
        ReleaseEngineMarker(shared_status_block());
    }
    event->accept();
}

}  // namespace vemo
