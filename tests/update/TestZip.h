#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

// Zip archives built by the tests themselves, entry by entry.
struct ZipEntry
{
    QString name;
    QByteArray data;
    QString linkTarget; // a symbolic link when set
    bool dir = false;
    int mode = 0644;
    qint64 zeros = 0; // that many zero bytes after data
};

// store: no compression, so that the archive's size follows its entries' sizes exactly.
bool writeZip(const QString &path, const QList<ZipEntry> &entries, bool store = false);
// Every file and folder under root, named prefix + its path below root.
QList<ZipEntry> treeEntries(const QString &root, const QString &prefix);
