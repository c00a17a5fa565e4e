#pragma once

#include <QByteArray>
#include <QMimeData>
#include <QStringList>

#include <future>

// A copied capture on the clipboard, served from memory: "image/png" answers with the PNG it
// was made from, as it is, and "image/tiff" is made from that PNG only when a program asks
// for it and not kept, so copying does not pay for it and an idle process holds only the PNG.
// The PNG may still be being encoded when the clipboard is taken: a paste waits for it.
class ClipboardImage : public QMimeData
{
    Q_OBJECT

public:
    explicit ClipboardImage(QByteArray png);
    explicit ClipboardImage(std::shared_future<QByteArray> png);

    QStringList formats() const override;
    bool hasFormat(const QString &mimeType) const override;

protected:
    QVariant retrieveData(const QString &mimeType, QMetaType type) const override;

private:
    std::shared_future<QByteArray> m_png;
    QStringList m_formats;
};
