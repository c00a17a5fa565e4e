#pragma once

#include <QByteArray>
#include <QImage>
#include <QString>

class QMimeData;

// The platform side of the overlay's output: encodings, the clipboard, files, the browser.
namespace OutputActions {

// Clipboard contents for a rendered selection (PNG, and TIFF on request), encoded in the
// background; null for a null image.
QMimeData *clipboardData(const QImage &image);
// Puts data on the clipboard, which takes it.
void setClipboard(QMimeData *data);
// The first of path, base_2.ext, base_3.ext, ... at which nothing exists.
QString uniquePath(const QString &path);
// Runs the save panel starting at proposed; empty when the user cancels.
QString askForTarget(const QString &proposed);
// Writes JPEG at quality 90 for a .jpg or .jpeg target (any case), PNG otherwise. The file
// is replaced only once the whole image is written.
bool writeImage(const QImage &image, const QString &target);
// Shows the file selected in the file browser, or at least its folder.
void reveal(const QString &path);
// Opens an http(s) link in the browser when its host is the server's own.
bool openInBrowser(const QString &link, const QString &serverUrl);

} // namespace OutputActions
