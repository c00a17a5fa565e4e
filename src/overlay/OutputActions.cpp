#include "overlay/OutputActions.h"

#include <QClipboard>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QGuiApplication>
#include <QImageWriter>
#include <QMimeData>
#include <QPointer>
#include <QSaveFile>
#include <QUrl>

#include <future>
#include <memory>
#include <utility>

#include "overlay/ClipboardImage.h"
#include "overlay/ImageEncoding.h"

QMimeData *OutputActions::clipboardData(const QImage &image)
{
    if (image.isNull())
        return nullptr;
    // The clipboard is taken at once and the PNG made on another thread: a 4K capture takes
    // longer to encode than a person takes to switch windows and paste, and the paste waits.
    // The task stays with its result: the picture it holds goes once encoded.
    auto held = std::make_shared<QImage>(image);
    return new ClipboardImage(std::async(std::launch::async, [held] {
                                  const QByteArray png = ImageEncoding::encodePng(*held);
                                  *held = QImage();
                                  return png;
                              }).share());
}

void OutputActions::setClipboard(QMimeData *data)
{
    // Qt's Wayland clipboard of some versions never deletes the data it replaces, a copied
    // picture's PNG included: what it left of the data put there before is deleted here.
    static QPointer<QMimeData> previous;
    const QPointer<QMimeData> replaced = std::exchange(previous, data);
    QGuiApplication::clipboard()->setMimeData(data);
    if (replaced && replaced != data)
        delete replaced.data();
}

QString OutputActions::uniquePath(const QString &path)
{
    const QFileInfo info(path);
    const QString base = info.completeBaseName(), ext = info.suffix();
    QString candidate = path;
    for (int n = 2; QFileInfo::exists(candidate) || QFileInfo(candidate).isSymLink(); ++n)
        candidate = info.dir().filePath(base + QLatin1Char('_') + QString::number(n) +
                                        (ext.isEmpty() ? QString() : QLatin1Char('.') + ext));
    return candidate;
}

QString OutputActions::askForTarget(const QString &proposed)
{
    QFileDialog dialog(nullptr, QString(), proposed);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setNameFilters({QStringLiteral("PNG (*.png)"), QStringLiteral("JPEG (*.jpg *.jpeg)")});
    dialog.selectFile(QFileInfo(proposed).fileName());
    // A name typed without an extension gets the chosen type's.
    dialog.setDefaultSuffix(QStringLiteral("png"));
    QObject::connect(&dialog, &QFileDialog::filterSelected, &dialog,
                     [&dialog](const QString &filter) {
                         dialog.setDefaultSuffix(filter.startsWith(QLatin1String("JPEG"))
                                                     ? QStringLiteral("jpg")
                                                     : QStringLiteral("png"));
                     });
    dialog.setWindowFlag(Qt::WindowStaysOnTopHint);
    dialog.setWindowModality(Qt::ApplicationModal);
    dialog.raise();
    dialog.activateWindow();
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return {};
    return dialog.selectedFiles().constFirst();
}

bool OutputActions::writeImage(const QImage &image, const QString &target)
{
    const QString ext = QFileInfo(target).suffix().toLower();
    const bool jpeg = ext == QLatin1String("jpg") || ext == QLatin1String("jpeg");
    const QByteArray bytes =
        jpeg ? ImageEncoding::encodeJpeg(image, 90) : ImageEncoding::encodePng(image);
    if (bytes.isEmpty())
        return false;
    QSaveFile file(target);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    // Writes are buffered: a disk that fills may only show when the buffer goes out, and the
    // commit does not tell.
    if (file.write(bytes) != bytes.size() || !file.flush()) {
        file.cancelWriting();
        return false;
    }
    return file.commit();
}

void OutputActions::reveal(const QString &path)
{
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.FileManager1"),
        QStringLiteral("/org/freedesktop/FileManager1"),
        QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("ShowItems"));
    call << QStringList{QUrl::fromLocalFile(path).toString()} << QString();
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (bus.isConnected() && bus.interface() &&
        bus.interface()->isServiceRegistered(QStringLiteral("org.freedesktop.FileManager1"))) {
        bus.asyncCall(call);
        return;
    }
    QDesktopServices::openUrl(QUrl::fromLocalFile(QFileInfo(path).absolutePath()));
}

bool OutputActions::openInBrowser(const QString &link, const QString &serverUrl)
{
    const QUrl url(link, QUrl::StrictMode);
    if (!url.isValid())
        return false;
    const QString scheme = url.scheme();
    if (scheme != QLatin1String("http") && scheme != QLatin1String("https"))
        return false;
    const QUrl server(serverUrl);
    if (!server.isValid() || server.host().isEmpty() || url.host().isEmpty())
        return false;
    if (url.host().compare(server.host(), Qt::CaseInsensitive) != 0)
        return false;
    return QDesktopServices::openUrl(url);
}
