#include "app/main_window.h"

#include <QApplication>
#include <QCloseEvent>
#include <QKeyEvent>
#include <QMenuBar>
#include <QPainter>

#include <algorithm>

#include "app/devices_menu.h"
#include "app/status_bar.h"
#include "engine/camera_controller.h"
#include "engine/capture_file_control.h"

namespace vemo {
namespace {

MainWindow* the_window = nullptr;

// The border the window draws around the status bar, in pixels.
constexpr int kBorder = 1;

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
    engine_ = std::make_unique<Engine>(*this);
    setWindowTitle(QString::fromUtf8("Vemo キャプチャー・エンジン"));
    setWindowIcon(QIcon(":/vemo/icon.png"));
    setFocusPolicy(Qt::StrongFocus);
    auto* client = new QWidget(this);
    setCentralWidget(client);
    video_ = new VideoArea(client, engine_->state());
    status_ = new StatusBar(client);

    menus_ = BuildMenuBar(menuBar(), [this](int id) { OnCommand(id); });
    // The Devices menu is listed afresh when it opens after a device came or
    // went, before the menu states are set.
    connect(menus_.devices, &QMenu::aboutToShow, this,
            [this] { engine_->camera().BuildDevicesMenu(); });
    for (QMenu* menu : {menus_.file, menus_.devices, menus_.properties, menus_.help}) {
        connect(menu, &QMenu::aboutToShow, this, [this] { UpdateMenuStates(); });
    }
    // At once: a long step (a save copy) shows its progress as it goes.
    connect(engine_.get(), &Engine::changed, this, [this] { ShowEngine(); });
    move(x(), 0);
    resize(260, 310);
}

MainWindow::~MainWindow() {
    engine_.reset();
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
    engine_->state().frame_width = width;
    engine_->state().frame_height = height;
}

void MainWindow::ShowEngine() {
    if (status_ == nullptr) return;
    if (status_->textWidget()->text() != engine_->status())
        SetStatusText(status_, engine_->status());
    // The entries alone: the whole snapshot would also look for an open
    // dialog's texts at every change (each step of a save copy's progress).
    if (shown_devices_ != engine_->device_entries()) {
        FillDevicesMenu(menus_.devices, engine_->device_entries(), !camera().recording(),
                        [this](int id) { OnCommand(id); });
        shown_devices_ = engine_->device_entries();
    }
    if (shown_pages_ != engine_->property_pages()) {
        FillPropertyPagesMenu(menus_.properties, engine_->property_pages(),
                              [this](int id) { OnCommand(id); });
        shown_pages_ = engine_->property_pages();
    }
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
    const bool capturing = camera().recording();
    for (QAction* item : menus_.properties->actions()) {
        const int id = item->data().toInt();
        if (id >= kCmdFirstPropertyPage && id <= kCmdLastPropertyPage) item->setEnabled(!capturing);
    }
    action(kCmdCamera)->setEnabled(!capturing);
    action(kCmdCamera)->setChecked(state().camera_on);
    action(kCmdScreen)->setEnabled(!capturing);
    action(kCmdScreen)->setChecked(screen().screen_on());
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
        if (capture_file().saving()) {
            capture_file().AbortSave();
        } else if (camera().recording()) {
            OnCommand(kCmdStopCapture);
        }
    }
    QMainWindow::keyPressEvent(event);
}

void MainWindow::closeEvent(QCloseEvent* event) {
    engine_->Close();
    event->accept();
}

}  // namespace vemo
