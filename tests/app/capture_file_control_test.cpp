// The capture file's commands on a real window and real files: what is
// refused while a copy of the recording runs, and names that cannot be the
// capture file.

#include "engine/capture_file_control.h"

#include <QApplication>
#include <QDialog>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "app/dialogs/file_dialog.h"
#include "app/main_window.h"
#include "app/menus.h"
#include "app/message_box.h"
#include "app/status_bar.h"
#include "support/test_support.h"

namespace vemo {
namespace {

class CaptureFileControlTest : public testing::Test {
  protected:
    void SetUp() override {
        setenv("VEMO_SETTINGS_FILE", (dir_ / "settings.ini").c_str(), 1);
        SetMessageSink([this](const MessageRequest& request) {
            messages_.push_back(request);
            return kMessageOk;
        });
        previous_dir_ = std::filesystem::current_path();
        std::filesystem::current_path(dir_.path());
    }
    void TearDown() override {
        SetMessageSink(nullptr);
        SetFileChooser(nullptr);
        std::filesystem::current_path(previous_dir_);
    }

    // Answers the next modal dialog that opens: `answer` gets it, and a
    // dialog still open after that is cancelled, so that no test waits on it.
    static void AnswerNextModal(std::function<void(QDialog*)> answer) {
        QTimer::singleShot(0, [answer = std::move(answer)] {
            if (auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget())) {
                answer(dialog);
                if (dialog->isVisible()) dialog->reject();
            }
        });
    }
    static void Cancel(QDialog*) {}

    test::TempDir dir_;
    std::filesystem::path previous_dir_;
    std::vector<MessageRequest> messages_;
};

TEST_F(CaptureFileControlTest, WhileACopyRunsTheFileIsNeitherChangedNorCopiedAgain) {
    MainWindow window;
    CaptureFileControl& control = window.capture_file();
    const std::string capture = dir_ / "capture.avi";
    const std::string other = dir_ / "other.avi";
    const std::vector<std::uint8_t> recording(3 << 20, 'r');
    test::WriteBytes(capture, recording);
    test::WriteBytes(other, {'o'});
    ASSERT_TRUE(control.SetCaptureFileName(capture));

    std::vector<FileRequest> requests;
    std::string target = dir_ / "copy.avi";
    SetFileChooser([&](const FileRequest& request) {
        requests.push_back(request);
        return std::optional<QString>(QString::fromStdString(target));
    });
    // The progress arrives inside the copy's nested event loop, where
    // commands from the menu and from other programs run too.
    std::vector<std::string> refusals;
    std::string renamed;
    bool tried = false;
    StatusText* status = window.statusBarWidget()->textWidget();
    status->setChangeObserver([&](const QString& text) {
        if (text != "Save File Progress: 0%" || tried) return;
        tried = true;
        EXPECT_TRUE(control.saving());
        for (int command : {kCmdChooseCaptureFile, kCmdAllocCaptureFile, kCmdSaveCaptureFile}) {
            AnswerNextModal(Cancel);  // a dialog opened by mistake
            window.OnCommand(command);
            refusals.push_back(status->text().toStdString());
        }
        const Result<> taken = control.SetCaptureFileName(other);
        renamed = taken ? "taken" : taken.error().text;
    });
    window.OnCommand(kCmdSaveCaptureFile);

    ASSERT_TRUE(tried);
    EXPECT_EQ(refusals, (std::vector<std::string>{
                            "Cannot change the capture file while it is being saved",
                            "Cannot pre-allocate the capture file while it is being saved",
                            "The capture file is already being saved"}));
    EXPECT_EQ(renamed, "the capture file is being saved");
    EXPECT_EQ(requests.size(), 1u) << "no file dialog while the copy runs";
    EXPECT_TRUE(requests.at(0).confirm_overwrite) << "a copy replaces the chosen file";
    EXPECT_EQ(window.state().capture_file.capture_file_name, capture);
    EXPECT_EQ(status->text(), "Capture file saved");
    EXPECT_EQ(test::ReadBytes(dir_ / "copy.avi"), recording);
    EXPECT_FALSE(control.saving());

    // The copier reads the name it was started with, not the window's, which
    // may change under the nested loop.
    target = dir_ / "second.avi";
    status->setChangeObserver([&](const QString& text) {
        if (text == "Saving capture file - please wait...")
            window.state().capture_file.capture_file_name = other;
    });
    window.OnCommand(kCmdSaveCaptureFile);
    EXPECT_EQ(status->text(), "Capture file saved");
    EXPECT_EQ(test::ReadBytes(dir_ / "second.avi"), recording);

    // Choosing the capture file itself never asks about replacing it.
    status->setChangeObserver(nullptr);
    target = capture;
    window.OnCommand(kCmdChooseCaptureFile);
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_FALSE(requests.back().confirm_overwrite);
    EXPECT_EQ(window.state().capture_file.capture_file_name, capture);
    EXPECT_TRUE(messages_.empty());
}

TEST_F(CaptureFileControlTest, NamesThatCannotBeTheCaptureFileAreRefused) {
    MainWindow window;
    CaptureFileControl& control = window.capture_file();
    const std::string fifo = dir_ / "fifo.avi";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::filesystem::create_directory(dir_.path() / "folder.avi");

    const auto refusal = [&](const std::string& path) {
        const Result<> taken = control.SetCaptureFileName(path);
        return taken ? std::string("taken") : taken.error().text;
    };
    EXPECT_EQ(refusal(fifo), "not a regular file (it is a named pipe)");
    EXPECT_EQ(refusal(dir_ / "folder.avi"), "not a regular file (it is a directory)");
    EXPECT_EQ(refusal(dir_ / "bad\xff\xfe.avi"), "the name is not valid UTF-8");
    EXPECT_EQ(refusal(dir_ / "two\nlines.avi"), "the name holds a control character");
    EXPECT_EQ(refusal("/proc/self/comm"), "not a file on a disk (it is on procfs)");
    // A link is refused as it is: its target (here a recording) is never
    // written through it.
    const std::string link = dir_ / "link.avi";
    test::WriteBytes(dir_ / "kept.avi", {'k'});
    ASSERT_EQ(symlink((dir_ / "kept.avi").c_str(), link.c_str()), 0);
    EXPECT_EQ(refusal(link), "not a regular file (it is a symbolic link)");
    // Other programs have working directories of their own.
    EXPECT_EQ(refusal("cap.avi"), "the name is relative: give the whole path");
    EXPECT_EQ(window.state().capture_file.capture_file_name, "");

    // The same from the file dialog.
    SetFileChooser([&](const FileRequest&) { return QString::fromStdString(fifo); });
    window.OnCommand(kCmdChooseCaptureFile);
    ASSERT_EQ(messages_.size(), 1u);
    EXPECT_EQ(messages_[0].text,
              "Vemo : Cannot use " + fifo +
                  " as the capture file: not a regular file (it is a named pipe)");
    EXPECT_EQ(window.state().capture_file.capture_file_name, "");

    // A FIFO put where the chosen file was: pre-allocating it neither blocks
    // nor pretends, and the reason reaches the status bar.
    messages_.clear();
    window.state().capture_file.capture_file_name = fifo;
    window.state().capture_file.capture_file_mb = 1;
    AnswerNextModal([](QDialog* dialog) {
        dialog->findChild<QLineEdit*>("401")->setText("1");
        dialog->findChild<QPushButton*>("1")->click();
    });
    window.OnCommand(kCmdAllocCaptureFile);
    ASSERT_EQ(messages_.size(), 1u);
    EXPECT_EQ(messages_[0].caption, "Failed to pre-allocate capture file space");
    EXPECT_EQ(messages_[0].text, "Error");
    EXPECT_EQ(window.statusBarWidget()->textWidget()->text().toStdString(),
              "Cannot open " + fifo + ": not a regular file (it is a named pipe)");
    EXPECT_TRUE(std::filesystem::is_fifo(fifo));
}

}  // namespace
}  // namespace vemo
