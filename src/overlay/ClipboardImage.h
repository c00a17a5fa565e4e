#pragma once

#include <QByteArray>
#include <QMimeData>
#include <QStringList>

// A copied capture on the clipboard, served from memory: "image/png" answers with the PNG it
// was made from, as it is, and "image/tiff" is made from that PNG only when a program asks
// for it and not kept, so copying does not pay for it and an idle process holds only the PNG.
class ClipboardImage : public QMimeData
{
    Q_OBJECT

public:
    explicit ClipboardImage(QByteArray png);

    QStringList formats() const override;
    bool hasFormat(const QString &mimeType) const override;

protected:
    QVariant retrieveData(const QString &mimeType, QMetaType type) const override;

private:
    QByteArray m_png;
    QStringList m_formats;
};
