// The Properties menu's camera entries with test cameras: which entries a
// camera gets, the controls dialog changing the published pictures, and the
// format dialog reopening the camera at another size.

#include <gtest/gtest.h>

#include <QComboBox>
#include <QDialog>
#include <QListWidget>
#include <QMenu>
#include <QPushButton>
#include <QSlider>
#include <QTimer>

#include "camera/camera_window_fixture.h"

namespace vemo {
namespace {

using namespace std::chrono_literals;
using test::Camera;

class CameraPropertiesTest : public test::CameraWindowTest {
  protected:
    // The Properties menu's camera entries: (id, text).
    std::vector<std::pair<int, std::string>> Entries() const {
        std::vector<std::pair<int, std::string>> entries;
        for (QAction* item : window_->menus().properties->actions()) {
            const int id = item->data().toInt();
            if (!item->isSeparator() && id >= kCmdFirstPropertyPage && id <= kCmdLastPropertyPage) {
                entries.emplace_back(id, item->text().toStdString());
            }
        }
        return entries;
    }

    // Runs command `id`; `answer` gets the modal dialog it opens.
    void WithDialog(int id, const std::function<void(QDialog*)>& answer) {
        QTimer look;
        look.setInterval(10);
        QObject::connect(&look, &QTimer::timeout, [&] {
            if (auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget())) {
                look.stop();
                answer(dialog);
            }
        });
        look.start();
        window_->OnCommand(id);
    }

    // The mean brightness of the next published vemo.jpg.
    double NextPictureLightness() {
        const int before = files_.jpeg_publishes;
        EXPECT_TRUE(WaitFor([&] { return files_.jpeg_publishes > before; }));
        const test::DecodedJpeg jpeg = test::DecodeJpeg("vemo/vemo.jpg");
        double sum = 0;
        for (std::uint8_t sample : jpeg.samples)
            sum += sample;
        return jpeg.samples.empty() ? 0 : sum / static_cast<double>(jpeg.samples.size());
    }

    using Entry = std::pair<int, std::string>;
};

TEST_F(CameraPropertiesTest, EachCameraGetsTheEntriesItOffersAndNoneStale) {
    TestCameraConfig inputs = Camera("Inputs");
    inputs.inputs = 3;
    TestCameraConfig plain = Camera("Plain");
    plain.controls = false;
    PlugTestCamera(inputs);
    PlugTestCamera(plain);
    StartCamera();
    EXPECT_EQ(Entries(), (std::vector<Entry>{{42, "Video Capture Filter..."},
                                             {43, "Video Capture Pin..."},
                                             {44, "Video Crossbar..."}}));
    window_->OnCommand(17);  // a camera with fewer entries
    EXPECT_EQ(Entries(), (std::vector<Entry>{{42, "Video Capture Pin..."}}));
    EXPECT_EQ(window_->menus().properties->actions().size(), 5) << "no stale entries";

    // Gray while a recording runs.
    ASSERT_TRUE(StartRecording(dir_ / "gray.avi"));
    window_->UpdateMenuStates();
    for (QAction* item : window_->menus().properties->actions()) {
        if (item->data().toInt() == 42) {
            EXPECT_FALSE(item->isEnabled());
        }
    }
    window_->OnCommand(kCmdStopCapture);
}

TEST_F(CameraPropertiesTest, TheControlsDialogChangesThePicturesAndCancelRestores) {
    PlugTestCamera(Camera("Test Camera 1"));
    StartCamera();
    ASSERT_TRUE(WaitFor([&] { return files_.jpeg_publishes >= 1; }));
    const double normal = NextPictureLightness();

    double brighter = 0;
    WithDialog(42, [&](QDialog* dialog) {
        auto* brightness = dialog->findChild<QSlider*>("brightness");
        ASSERT_NE(brightness, nullptr);
        brightness->setValue(brightness->maximum());
        brighter = NextPictureLightness();
        dialog->reject();  // Cancel puts the opening value back
    });
    EXPECT_GT(brighter, normal + 40);
    EXPECT_LT(NextPictureLightness(), normal + 10) << "Cancel restored the brightness";
    EXPECT_TRUE(messages_.empty()) << testing::PrintToString(messages_);
}

TEST_F(CameraPropertiesTest, TheFormatDialogReopensTheCameraAtTheChosenSize) {
    PlugTestCamera(Camera("Test Camera 1"));
    StartCamera();
    ASSERT_TRUE(WaitFor([&] { return files_.jpeg_publishes >= 1; }));
    const auto choose = [&](int width) {
        WithDialog(43, [&](QDialog* dialog) {
            auto* sizes = dialog->findChild<QListWidget*>("sizes");
            ASSERT_NE(sizes, nullptr);
            const QString wanted = QString::number(width) + " x ";
            for (int row = 0; row < sizes->count(); ++row) {
                if (sizes->item(row)->text().startsWith(wanted)) sizes->setCurrentRow(row);
            }
            dialog->accept();
        });
    };
    choose(1280);
    EXPECT_TRUE(graph().previewing());
    EXPECT_EQ(state().frame_width, 1280) << "the window takes the new size";
    EXPECT_EQ(state().frame_height, 720);
    const int before = files_.jpeg_publishes;
    ASSERT_TRUE(WaitFor([&] { return files_.jpeg_publishes > before; }));
    EXPECT_EQ(test::DecodeJpeg("vemo/vemo.jpg").width, 1280u);

    // With the camera off the format changes and nothing starts.
    window_->OnCommand(kCmdCamera);
    ASSERT_FALSE(graph().previewing());
    choose(320);
    EXPECT_EQ(graph().frame_width(), 320);
    EXPECT_FALSE(graph().previewing());
    EXPECT_TRUE(CameraOffPicturesInPlace());
}

}  // namespace
}  // namespace vemo
