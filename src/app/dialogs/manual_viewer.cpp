#include "app/dialogs/manual_viewer.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QDialog>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTextBrowser>
#include <QUrl>
#include <QVBoxLayout>

namespace vemo {
namespace {

constexpr char kManual[] = "help/wmanual.htm";

UrlOpener& InstalledOpener() {
    static UrlOpener opener;
    return opener;
}

bool OpenUrl(const QUrl& url) {
    if (const UrlOpener& opener = InstalledOpener(); opener) return opener(url);
    return QDesktopServices::openUrl(url);
}

void ShowViewer(QWidget* parent, const QString& path) {
    // One viewer: Contents again brings it forward.
    QDialog* viewer = parent != nullptr
                          ? parent->findChild<QDialog*>("manual", Qt::FindDirectChildrenOnly)
                          : nullptr;
    if (viewer == nullptr) {
        viewer = new QDialog(parent);
        viewer->setObjectName("manual");
        viewer->setAttribute(Qt::WA_DeleteOnClose);
        auto* browser = new QTextBrowser(viewer);
        browser->setOpenExternalLinks(true);
        browser->setSource(QUrl::fromLocalFile(path));
        auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, viewer);
        QObject::connect(buttons, &QDialogButtonBox::rejected, viewer, &QDialog::reject);
        auto* layout = new QVBoxLayout(viewer);
        layout->addWidget(browser);
        layout->addWidget(buttons);
        const QString title = browser->documentTitle();
        viewer->setWindowTitle(title.isEmpty() ? QFileInfo(path).fileName() : title);
        viewer->resize(760, 600);
    }
    viewer->show();
    viewer->raise();
    viewer->activateWindow();
}

}  // namespace

QString FindManual() {
    if (const QFileInfo here(kManual); here.isFile()) return here.absoluteFilePath();
    // Installed: beside the program's own prefix first, so that any prefix
    // works, then the system's data directories.
    const QFileInfo beside(QDir(QCoreApplication::applicationDirPath())
                               .filePath(QStringLiteral(VEMO_DATA_FROM_BINDIR "/") + kManual));
    if (beside.isFile()) return beside.canonicalFilePath();
    return QStandardPaths::locate(QStandardPaths::GenericDataLocation,
                                  QStringLiteral("vemo/") + kManual);
}

void SetUrlOpener(UrlOpener opener) {
    InstalledOpener() = std::move(opener);
}

void OpenManual(QWidget* parent) {
    const QString path = FindManual();
    if (path.isEmpty()) return;
    if (!OpenUrl(QUrl::fromLocalFile(path))) ShowViewer(parent, path);
}

}  // namespace vemo
