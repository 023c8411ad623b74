#include "app/dialogs/manual_viewer.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QDialog>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileInfo>
#include <QPointer>
#include <QProcess>
#include <QPushButton>
#include <QStandardPaths>
#include <QTextBrowser>
#include <QUrl>
#include <QVBoxLayout>

namespace vemo {
namespace {

constexpr char kManual[] = "help/wmanual.htm";

DesktopOpener& InstalledOpener() {
    static DesktopOpener opener;
    return opener;
}

// QDesktopServices starts xdg-open and reports success whatever it finds;
// xdg-open's exit status (3 or 4: no handler) is the desktop's real answer.
void OpenWithDesktop(const QUrl& url, std::function<void()> failed) {
    const QString xdg_open = QStandardPaths::findExecutable(QStringLiteral("xdg-open"));
    if (xdg_open.isEmpty()) {
        if (!QDesktopServices::openUrl(url)) failed();
        return;
    }
    auto* process = new QProcess(QCoreApplication::instance());
    process->setStandardOutputFile(QProcess::nullDevice());
    process->setStandardErrorFile(QProcess::nullDevice());
    QObject::connect(process, &QProcess::finished, process,
                     [process, failed](int code, QProcess::ExitStatus status) {
                         if (status != QProcess::NormalExit || code != 0) failed();
                         process->deleteLater();
                     });
    QObject::connect(process, &QProcess::errorOccurred, process,
                     [process, failed](QProcess::ProcessError error) {
                         if (error != QProcess::FailedToStart) return;
                         failed();
                         process->deleteLater();
                     });
    // xdg-open may wait on a browser it started in the foreground: the engine's
    // end stops only xdg-open, and quietly.
    QObject::connect(QCoreApplication::instance(), &QCoreApplication::aboutToQuit, process,
                     [process] {
                         QObject::disconnect(process, nullptr, nullptr, nullptr);
                         process->kill();
                         process->waitForFinished(1000);
                         delete process;
                     });
    process->start(xdg_open,
                   {url.isLocalFile() ? url.toLocalFile() : url.toString(QUrl::FullyEncoded)});
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
        // In the engine's language, as its menus (Qt's own texts are English).
        buttons->button(QDialogButtonBox::Close)->setText(QString::fromUtf8("閉じる"));
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

void SetDesktopOpener(DesktopOpener opener) {
    InstalledOpener() = std::move(opener);
}

void OpenManual(QWidget* parent) {
    const QString path = FindManual();
    if (path.isEmpty()) return;
    auto failed = [parent = QPointer<QWidget>(parent), path] {
        if (parent) ShowViewer(parent, path);
    };
    const QUrl url = QUrl::fromLocalFile(path);
    if (const DesktopOpener& opener = InstalledOpener(); opener) {
        opener(url, failed);
    } else {
        OpenWithDesktop(url, failed);
    }
}

}  // namespace vemo
