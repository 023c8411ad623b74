#pragma once

// The window face: the engine's only top-level window, with the camera
// preview (or the idle picture while the camera is off) above a one-line
// status bar, and the menus. It owns the engine, shows its snapshot, and
// answers its questions with dialogs and message boxes.

#include <QImage>
#include <QMainWindow>
#include <QPixmap>

#include <memory>
#include <optional>
#include <vector>

#include "app/menus.h"
#include "engine/engine.h"

namespace vemo {

class CameraController;
class CaptureFileControl;
class ReadyToCaptureDialog;
class StatusBar;

// The client area above the status bar: the preview, or the idle picture.
class VideoArea : public QWidget {
  public:
    VideoArea(QWidget* parent, const EngineState& state);
    void ShowFrame(QImage frame);

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    const EngineState& state_;
    QPixmap idle_;
    QImage frame_;
};

class MainWindow : public QMainWindow, public EngineFace {
  public:
    MainWindow();
    ~MainWindow() override;

    Engine& engine() { return *engine_; }
    EngineState& state() { return engine_->state(); }
    CameraController& camera() { return engine_->camera(); }
    CaptureFileControl& capture_file() { return engine_->capture_file(); }
    ScreenCapture& screen() { return engine_->screen(); }
    const QTimer& cameraTimer() const { return engine_->cameraTimer(); }
    const QTimer& screenTimer() const { return engine_->screenTimer(); }
    StatusBar* statusBarWidget() const { return status_; }
    VideoArea* videoArea() const { return video_; }
    const EngineMenus& menus() const { return menus_; }
    QAction* action(int id) const;

    // Sizes the window so that the area above the status bar is
    // width x height, and records that as the camera frame size.
    void ResizeWindow(int width, int height);

    int OnCommand(int id) { return engine_->OnCommand(id); }
    void PostCommand(int id) { engine_->PostCommand(id); }
    EngineAnswer StartScreenPublishing() { return engine_->StartScreenPublishing(); }
    void StopScreenPublishing() { engine_->StopScreenPublishing(); }
    void GrabScreen() { engine_->GrabScreen(); }
    EngineAnswer ReloadSettings() { return engine_->ReloadSettings(); }
    bool closed() const { return engine_->closed(); }
    void LeaveOffPictures() { engine_->LeaveOffPictures(); }

    // The menu states kept up to date whenever a menu opens.
    void UpdateMenuStates();

    // Dialogs reached from the menu and the keyboard.
    void OpenCameraProperties() { EditSettings(SettingsPage::kCamera); }
    void OpenScreenProperties() { EditSettings(SettingsPage::kScreen); }
    void OpenImageProperties() { EditSettings(SettingsPage::kImage); }
    void OpenAbout() { ShowAbout(); }

    // The engine's questions (main_window_face.cpp).
    int ShowMessage(const MessageRequest& request) override;
    std::optional<std::string> ChooseFile(const FileQuestion& question) override;
    GoAhead AskGoAhead(const std::string& file_name) override;
    void CancelGoAhead() override;
    bool EditFrameRate(EngineState& state, FrameRate camera_rate) override;
    bool EditTimeLimit(EngineState& state) override;
    bool EditFileSize(CaptureFileValues& values) override;
    void EditSettings(SettingsPage page) override;
    void ShowAbout() override;
    void ShowManual() override;
    void EditCameraControls(std::shared_ptr<CameraControls> controls,
                            const std::string& camera_name) override;
    std::optional<OfferedFormat> ChooseFormat(const std::vector<OfferedFormat>& formats,
                                              const OfferedFormat& current) override;
    void EditCameraInput(std::shared_ptr<CameraControls> controls) override;
    void EditTuner(std::shared_ptr<CameraControls> controls) override;
    void ShowPreview(const PreviewPicture& picture) override;
    void ClearPreview() override;
    void RepaintPreview() override { video_->update(); }
    void ResizePreview(int width, int height) override { ResizeWindow(width, height); }
    void ShowNow() override { repaint(); }
    void Close() override { close(); }
    std::optional<Waiting> ModalWaiting() const override;

  protected:
    void resizeEvent(QResizeEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

  private:
    void LayoutChildren();
    // Shows what the engine's snapshot says: the status text and the
    // menus' camera entries.
    void ShowEngine();

    VideoArea* video_ = nullptr;
    StatusBar* status_ = nullptr;
    EngineMenus menus_;
    // The entries last put in the menus; none before the first.
    std::optional<std::vector<MenuEntry>> shown_devices_;
    std::optional<std::vector<MenuEntry>> shown_pages_;
    // The go-ahead dialog while it is open.
    ReadyToCaptureDialog* ready_dialog_ = nullptr;
    // Last, so that it goes first: it stops the camera's threads.
    std::unique_ptr<Engine> engine_;
};

// The window the engine runs, once start-up has made it.
MainWindow* main_window();

}  // namespace vemo
