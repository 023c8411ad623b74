#include "app/main_window.h"

#include <QApplication>
#include <QCloseEvent>
#include <QKeyEvent>
#include <QMenuBar>
#include <QPainter>

#include <algorithm>

#include "app/camera_controller.h"
#include "app/capture_file_control.h"
#include "app/engine_marker.h"
#include "app/logging.h"
#include "app/message_box.h"
#include "app/status_bar.h"
#include "imaging/published_files.h"
#include "product/shared_status_block.h"
#include "settings/settings_store.h"

namespace vemo {
namespace {

MainWindow* the_window = nullptr;

// The border the window draws around the status bar, in pixels.
constexpr int kBorder = 1;

// An interval of 0 would make a timer fire without pause; longer than Qt's
// timers count would wrap. (Stored intervals are clamped when read; a
// recording asks for 33 ms.)
int SafeInterval(unsigned interval_ms) {
    return static_cast<int>(std::clamp(interval_ms, 1u, kMaxIntervalSeconds * 1000));
}

}  // namespace

MainWindow* main_window() {
    return the_window;
}

VideoArea::VideoArea(QWidget* parent, const EngineState& state)
    : QWidget(parent), state_(state), idle_(":/vemo/idle.png") {
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void VideoArea::ShowFrame(QImage frame) {
    frame_ = std::move(frame);
    update();
}

void VideoArea::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    if (!state_.camera_on) {
        // The idle picture is stretched to the window's outer width and to its
        // outer height less 70 pixels, on black: the 70 pixels stand for a
        // title bar, the menu and the status bar. A window without a frame
        // (no window manager, as on a bare X server) would leave a black band
        // under the picture, so it reaches at least the video area's bottom.
        const QSize outer = window()->frameGeometry().size();
        painter.fillRect(QRect(QPoint(0, 0), outer.expandedTo(size())), Qt::black);
        painter.drawPixmap(
            QRect(0, 0, std::max(outer.width(), width()), std::max(outer.height() - 70, height())),
            idle_);
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
    video_ = new VideoArea(client, state_);
    status_ = new StatusBar(client);

    menus_ = BuildMenuBar(menuBar(), [this](int id) { OnCommand(id); });
    // The Devices menu is listed afresh when it opens after a device came or
    // went, before the menu states are set.
    connect(menus_.devices, &QMenu::aboutToShow, this, [this] { camera_->BuildDevicesMenu(); });
    for (QMenu* menu : {menus_.file, menus_.devices, menus_.properties, menus_.help}) {
        connect(menu, &QMenu::aboutToShow, this, [this] { UpdateMenuStates(); });
    }

    waiting_check_.setInterval(50);
    connect(&waiting_check_, &QTimer::timeout, this, [this] { RunWaitingCommands(); });
    camera_timer_.setObjectName("timer1");
    screen_timer_.setObjectName("timer2");
    connect(&camera_timer_, &QTimer::timeout, this, [this] { camera_->RequestFrame(); });
    // Timer 2 keeps running after a stop; its ticks find screen_on clear.
    connect(&screen_timer_, &QTimer::timeout, this, [this] { GrabScreen(); });
    // Grabs run on the screen worker; their results are shown on this thread.
    screen_.set_grab_done([this](ScreenGrabResult grab) {
        QMetaObject::invokeMethod(
            this, [this, grab = std::move(grab)] { ShowScreenGrab(grab); }, Qt::QueuedConnection);
    });

    // The camera and the device list post their events here.
    capture_file_ = std::make_unique<CaptureFileControl>(state_, *this);
    camera_ = std::make_unique<CameraController>(state_, *this, *capture_file_);
    move(x(), 0);
    resize(260, 310);
}

MainWindow::~MainWindow() {
    camera_.reset();
    if (the_window == this) the_window = nullptr;
}

QAction* MainWindow::action(int id) const {
    const auto found = menus_.actions.find(id);
    return found != menus_.actions.end() ? found->second : nullptr;
}

void MainWindow::ResizeWindow(int width, int height) {
    // The menu bar may wrap at a narrow width: measure it at this one.
    // QMenuBar::heightForWidth misses the wrap of a bar whose last menu
    // stands at the right end, so the bar is laid out at the width itself
    // and asked for its size there.
    QMenuBar* bar = menuBar();
    bar->resize(width, bar->height());
    const int menu_height = std::max(bar->heightForWidth(width), bar->sizeHint().height());
    bar->updateGeometry();
    resize(width, menu_height + height + StatusBarHeight() + kBorder);
    state_.frame_width = width;
    state_.frame_height = height;
}

void MainWindow::SetCameraTimer(unsigned interval_ms) {
    camera_timer_.start(SafeInterval(interval_ms));
    StateChanged();
}

void MainWindow::SetScreenTimer(unsigned interval_ms) {
    screen_timer_.start(SafeInterval(interval_ms));
    StateChanged();
}

void MainWindow::KillCameraTimer() {
    camera_timer_.stop();
    StateChanged();
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
    const bool capturing = camera_->recording();
    for (QAction* item : menus_.properties->actions()) {
        const int id = item->data().toInt();
        if (id >= kCmdFirstPropertyPage && id <= kCmdLastPropertyPage) item->setEnabled(!capturing);
    }
    action(kCmdCamera)->setEnabled(!capturing);
    action(kCmdCamera)->setChecked(state_.camera_on);
    action(kCmdScreen)->setEnabled(!capturing);
    action(kCmdScreen)->setChecked(screen_.screen_on());
    for (QAction* item : menus_.devices->actions()) {
        const int id = item->data().toInt();
        if (id >= kCmdFirstDevice && id <= kCmdLastDevice) item->setEnabled(!capturing);
    }
}

void MainWindow::keyPressEvent(QKeyEvent* event) {
    // Ctrl+Alt+F12, and Ctrl+Shift+F12 beside it: on most X servers the
    // keymap turns Ctrl+Alt+F12 into a console switch before the window
    // sees it.
    const Qt::KeyboardModifiers held = event->modifiers();
    if (event->key() == Qt::Key_F12 && (held & Qt::ControlModifier) &&
        (held & (Qt::AltModifier | Qt::ShiftModifier))) {
        OpenImageProperties();
    }
    // Escape aborts a save copy, else stops a recording.
    if (event->key() == Qt::Key_Escape) {
        if (capture_file_->saving()) {
            capture_file_->AbortSave();
        } else if (camera_->recording()) {
            OnCommand(kCmdStopCapture);
        }
    }
    QMainWindow::keyPressEvent(event);
}

bool MainWindow::event(QEvent* event) {
    if (event->type() == kFrameReadyEvent) {
        PublishRequestedFrame();
        return true;
    }
    if (event->type() == kGraphEvent) {
        camera_->HandleGraphEvents();
        return true;
    }
    if (event->type() == kPreviewFrameEvent) {
        ShowPreviewPicture();
        return true;
    }
    if (event->type() == kDeviceChangeEvent) {
        camera_->HandleDeviceChanges();
        return true;
    }
    return QMainWindow::event(event);
}

void MainWindow::PublishRequestedFrame() {
    const PublishResult result = camera_->PublishRequestedFrame();
    if (result.published) {
        last_problem_.clear();
    } else if (!result.error.ok()) {
        ReportPublishProblem(
            QString::fromStdString("Camera picture not published: " + result.error.message));
    }
}

void MainWindow::ShowPreviewPicture() {
    CameraGraph& graph = camera_->graph();
    graph.grabber().TakePreviewPicture([this, &graph](const PreviewPicture& picture) {
        if (!graph.showing_preview()) return;
        const QImage frame(picture.pixels.data(), picture.width, picture.height,
                           static_cast<qsizetype>(picture.stride), QImage::Format_BGR888);
        // A copy at the size it is drawn, in the format painting is fastest with.
        video_->ShowFrame(
            frame.scaled(video_->size(), Qt::IgnoreAspectRatio, Qt::FastTransformation)
                .convertToFormat(QImage::Format_RGB32));
    });
}

void MainWindow::SetStatus(const QString& text) {
    SetStatusText(status_, text);
}

void MainWindow::PostCommand(int id) {
    if (closed_) return;
    // Closing never waits: the engine ends with the dialog. Nor does a stop
    // while the go-ahead of a recording is asked: it closes that dialog.
    if (id == kCmdClose ||
        (id == kCmdStopCapture && camera_->recorder().state() == RecorderState::kHeld)) {
        OnCommand(id);
        return;
    }
    // Behind commands already waiting, so that they keep their order.
    if (QApplication::activeModalWidget() != nullptr || !waiting_commands_.empty()) {
        waiting_commands_.push_back(id);
        waiting_check_.start();
        return;
    }
    OnCommand(id);
}

// Runs the waiting commands once no modal dialog is open; one that opens a
// dialog of its own holds the rest until that one closes.
void MainWindow::RunWaitingCommands() {
    while (!waiting_commands_.empty() && !closed_) {
        if (QApplication::activeModalWidget() != nullptr) return;
        const int id = waiting_commands_.front();
        waiting_commands_.pop_front();
        OnCommand(id);
    }
    waiting_commands_.clear();
    waiting_check_.stop();
}

void MainWindow::ReportPublishProblem(const QString& text) {
    // Shown in the status bar and logged once, not in a box: the next frame
    // comes within seconds and would pile up boxes.
    SetStatusText(status_, text);
    if (text != last_problem_) qCWarning(logPublish).noquote() << text;
    last_problem_ = text;
}

void MainWindow::StartScreenPublishing() {
    if (closed_) return;
    const ScreenStartResult started = screen_.Start(ReadScreenSettings());
    // What the start settled on is what the dialogs show.
    screen_start_pending_ = started.pending;
    if (!started.pending) state_.screen = screen_.settings();
    SetScreenTimer(started.timer_interval_ms);
    if (!started.error.empty()) ReportError("%s", started.error.c_str());
    GrabScreen();
}

void MainWindow::StopScreenPublishing() {
    screen_.Stop();
    StateChanged();
}

void MainWindow::GrabScreen() {
    // A request while a grab runs becomes one grab after it.
    screen_.RequestGrab();
}

void MainWindow::ShowScreenGrab(const ScreenGrabResult& grab) {
    if (screen_start_pending_ || grab.restarted || grab.report) StateChanged();
    if (screen_start_pending_) {
        screen_start_pending_ = false;
        state_.screen = screen_.settings();
    }
    if (grab.restarted) {
        state_.screen = screen_.settings();
        SetStatusText(status_,
                      QStringLiteral("Screen size changed to %1x%2: screen capture restarted")
                          .arg(grab.screen_width)
                          .arg(grab.screen_height));
    }
    if (grab.report) ReportError("%s", grab.error.c_str());
}

void MainWindow::ReloadSettings() {
    if (closed_) return;
    camera_->LoadCameraSettings();
    if (camera_->graph().previewing()) SetCameraTimer(state_.camera_timer * 1000);
    const ScreenSettings stored = ReadScreenSettings();
    if (!screen_.screen_on()) {
        state_.screen = stored;
        return;
    }
    const ScreenSettings& in_force = screen_.settings();
    const bool same_geometry = stored.screen_one == in_force.screen_one &&
                               stored.imode_rotate == in_force.imode_rotate &&
                               stored.screen_division == in_force.screen_division &&
                               stored.imode_width == in_force.imode_width;
    if (!same_geometry) {
        screen_.Stop();
        StartScreenPublishing();
        return;
    }
    screen_.set_screen_gif_color(stored.screen_gif_color);
    state_.screen.screen_gif_color = screen_.settings().screen_gif_color;
    state_.screen.screen_timer =
        std::clamp(stored.screen_timer, kMinIntervalSeconds, kMaxIntervalSeconds);
    SetScreenTimer(state_.screen.screen_timer * 1000);
}

void MainWindow::LeaveOffPictures() {
    if (camera_->EndRecordingWithoutWindow()) PublishCameraPreviewStopped();
    screen_.LeaveOffWithoutDisplay();
}

void MainWindow::closeEvent(QCloseEvent* event) {
    if (!closed_) {
        closed_ = true;
        // A copy of the recording in progress stops within a chunk and leaves
        // nothing behind; its loop then lets the close finish.
        capture_file_->AbortSave();
        // The camera's off pictures go in place and its graph comes down,
        // then the screen's.
        camera_->Close();
        screen_.Stop();
        ReleaseEngineMarker(shared_status_block());
    }
    event->accept();
}

}  // namespace vemo
