// Draws the engine's own pictures: the window icon, the idle picture shown
// while the camera is off, and the status pictures a product installation
// keeps in vemo/bak/. Run once after a design change:
//   cmake --build build/dev --target make_resources
//   build/dev/resources/make_resources resources

#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

#include <cstdio>
#include <string>
#include <vector>

#include "imaging/jpeg_to_gif.h"
#include "imaging/jpeg_writer.h"

namespace {

const QColor kInk(0xf4, 0xf6, 0xfa);
const QColor kOn(0x2e, 0xa0, 0x4f);
const QColor kOff(0x6b, 0x72, 0x80);

QFont Font(int pixels, bool bold = true) {
    QFont font("IPAPGothic");
    font.setPixelSize(pixels);
    font.setBold(bold);
    return font;
}

// A camera drawn with rounded shapes, centred at (cx, cy), `size` wide.
void DrawCamera(QPainter& painter, qreal cx, qreal cy, qreal size, const QColor& colour) {
    painter.setPen(Qt::NoPen);
    painter.setBrush(colour);
    const QRectF body(cx - size / 2, cy - size * 0.3, size * 0.72, size * 0.6);
    painter.drawRoundedRect(body, size * 0.1, size * 0.1);
    QPainterPath lens;
    lens.moveTo(body.right() + size * 0.04, cy);
    lens.lineTo(cx + size / 2, cy - size * 0.25);
    lens.lineTo(cx + size / 2, cy + size * 0.25);
    lens.closeSubpath();
    painter.drawPath(lens);
}

void DrawScreen(QPainter& painter, qreal cx, qreal cy, qreal size, const QColor& colour) {
    painter.setPen(QPen(colour, size * 0.08));
    painter.setBrush(Qt::NoBrush);
    painter.drawRoundedRect(QRectF(cx - size / 2, cy - size * 0.36, size, size * 0.62), size * 0.05,
                            size * 0.05);
    painter.drawLine(QPointF(cx - size * 0.2, cy + size * 0.42),
                     QPointF(cx + size * 0.2, cy + size * 0.42));
}

QImage Card(int width, int height, const QColor& top, const QColor& bottom) {
    QImage image(width, height, QImage::Format_RGB32);
    QPainter painter(&image);
    QLinearGradient gradient(0, 0, 0, height);
    gradient.setColorAt(0, top);
    gradient.setColorAt(1, bottom);
    painter.fillRect(image.rect(), gradient);
    return image;
}

void Caption(QImage& image, const QString& text, qreal y, int pixels) {
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(kInk);
    painter.setFont(Font(pixels));
    painter.drawText(QRectF(0, y, image.width(), pixels * 1.6), Qt::AlignCenter, text);
}

// A badge: icon on the left, label on the right, in the state's colour.
QImage Badge(bool camera, bool on) {
    QImage image = Card(96, 32, on ? kOn.lighter(115) : kOff.lighter(115), on ? kOn : kOff);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    if (camera) {
        DrawCamera(painter, 18, 16, 22, kInk);
    } else {
        DrawScreen(painter, 18, 15, 22, kInk);
    }
    painter.setPen(kInk);
    painter.setFont(Font(13));
    painter.drawText(QRectF(34, 0, 60, 32), Qt::AlignCenter, on ? "ON" : "OFF");
    return image;
}

QImage OffPicture(int width, int height, bool camera) {
    QImage image = Card(width, height, QColor(0x39, 0x40, 0x4d), QColor(0x16, 0x1a, 0x22));
    {
        QPainter painter(&image);
        painter.setRenderHint(QPainter::Antialiasing);
        const qreal size = height * 0.36;
        if (camera) {
            DrawCamera(painter, width / 2.0, height * 0.38, size, kOff.lighter(150));
        } else {
            DrawScreen(painter, width / 2.0, height * 0.38, size, kOff.lighter(150));
        }
    }
    Caption(image, QString::fromUtf8(camera ? "カメラ オフ" : "スクリーン オフ"), height * 0.68,
            std::max(9, height / 12));
    return image;
}

QImage IdlePicture() {
    QImage image = Card(320, 240, QColor(0x1f, 0x3a, 0x5f), QColor(0x0b, 0x14, 0x24));
    {
        QPainter painter(&image);
        painter.setRenderHint(QPainter::Antialiasing);
        DrawCamera(painter, 160, 88, 96, QColor(0x8f, 0xb8, 0xe8));
        painter.setBrush(Qt::NoBrush);
        painter.setPen(QPen(QColor(0xe0, 0x5a, 0x4f), 7, Qt::SolidLine, Qt::RoundCap));
        painter.drawLine(QPointF(112, 136), QPointF(208, 40));
    }
    Caption(image, "Vemo", 150, 30);
    Caption(image, QString::fromUtf8("カメラはオフです"), 196, 16);
    return image;
}

QImage Icon() {
    QImage image(64, 64, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(0x1f, 0x6f, 0xd1));
    painter.drawRoundedRect(QRectF(2, 2, 60, 60), 12, 12);
    DrawCamera(painter, 32, 32, 40, kInk);
    return image;
}

bool SaveJpeg(const QImage& picture, const std::string& path) {
    // Bottom-up blue-green-red rows, as the engine's JPEG writer takes them.
    const QImage rgb = picture.convertToFormat(QImage::Format_RGB888);
    const std::size_t stride = vemo::JpegRowStride(static_cast<std::uint32_t>(rgb.width()), 24);
    std::vector<std::uint8_t> pixels(stride * static_cast<std::size_t>(rgb.height()));
    for (int y = 0; y < rgb.height(); ++y) {
        const uchar* in = rgb.constScanLine(y);
        std::uint8_t* out = &pixels[stride * static_cast<std::size_t>(rgb.height() - 1 - y)];
        for (int x = 0; x < rgb.width(); ++x) {
            out[3 * x] = in[3 * x + 2];
            out[3 * x + 1] = in[3 * x + 1];
            out[3 * x + 2] = in[3 * x];
        }
    }
    vemo::JpegWriteJob job{};
    job.width = static_cast<std::uint32_t>(rgb.width());
    job.height = static_cast<std::uint32_t>(rgb.height());
    job.quality = 90;
    job.bits_per_pixel = 24;
    job.path = path;
    job.pixels = pixels.data();
    return vemo::WriteJpegFrame(job).ok();
}

bool SaveGif(const QImage& picture, const std::string& path, int colors) {
    const std::string jpeg = path + ".jpg";
    vemo::GifConvertJob job{};
    job.max_width = static_cast<std::uint32_t>(picture.width());
    job.max_height = static_cast<std::uint32_t>(picture.height());
    job.colors = colors;
    job.input_path = jpeg;
    job.output_path = path;
    const bool ok = SaveJpeg(picture, jpeg) && vemo::ConvertJpegToGif(job).ok();
    std::remove(jpeg.c_str());
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication application(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_resources RESOURCES_DIR\n");
        return 1;
    }
    const std::string dir = argv[1];
    bool ok = Icon().save(QString::fromStdString(dir + "/icon.png")) &&
              IdlePicture().save(QString::fromStdString(dir + "/idle.png"));
    const std::string bak = dir + "/bak/";
    ok = ok && SaveGif(Badge(true, true), bak + "cameraon.gif", 32) &&
         SaveGif(Badge(true, false), bak + "cameraoff.gif", 32) &&
         SaveJpeg(OffPicture(320, 240, true), bak + "cameraoff.jpg") &&
         SaveGif(OffPicture(120, 90, true), bak + "vemooff.gif", 64) &&
         SaveGif(Badge(false, true), bak + "screenon.gif", 32) &&
         SaveGif(Badge(false, false), bak + "screenoff.gif", 32) &&
         SaveJpeg(OffPicture(320, 240, false), bak + "screenoff.jpg") &&
         SaveGif(OffPicture(160, 120, false), bak + "vemoscoff.gif", 64);
    if (!ok) std::fprintf(stderr, "make_resources: could not write every picture\n");
    return ok ? 0 : 1;
}
