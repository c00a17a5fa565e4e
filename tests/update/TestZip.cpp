#include "TestZip.h"

#include <QDirIterator>
#include <QFile>
#include <QFileInfo>

#include <memory>

#include <archive.h>
#include <archive_entry.h>

bool writeZip(const QString &path, const QList<ZipEntry> &entries, bool store)
{
    std::unique_ptr<archive, decltype(&archive_write_free)> zip(archive_write_new(),
                                                                archive_write_free);
    archive_write_set_format_zip(zip.get());
    archive_write_set_options(zip.get(),
                              store ? "zip:compression=store" : "zip:compression-level=1");
    if (archive_write_open_filename(zip.get(), QFile::encodeName(path).constData()) != ARCHIVE_OK)
        return false;
    const QByteArray block(1 << 20, '\0');
    for (const ZipEntry &e : entries) {
        std::unique_ptr<archive_entry, decltype(&archive_entry_free)> entry(archive_entry_new(),
                                                                            archive_entry_free);
        archive_entry_set_pathname_utf8(entry.get(), e.name.toUtf8().constData());
        archive_entry_set_perm(entry.get(), e.mode);
        if (!e.linkTarget.isEmpty()) {
            archive_entry_set_filetype(entry.get(), AE_IFLNK);
            archive_entry_set_symlink_utf8(entry.get(), e.linkTarget.toUtf8().constData());
        } else {
            archive_entry_set_filetype(entry.get(), e.dir ? AE_IFDIR : AE_IFREG);
            archive_entry_set_size(entry.get(), e.dir ? 0 : e.data.size() + e.zeros);
        }
        if (archive_write_header(zip.get(), entry.get()) != ARCHIVE_OK ||
            archive_write_data(zip.get(), e.data.constData(), e.data.size()) != e.data.size())
            return false;
        for (qint64 left = e.zeros; left > 0; left -= block.size()) {
            if (archive_write_data(zip.get(), block.constData(), std::min(left, block.size())) < 0)
                return false;
        }
    }
    return archive_write_close(zip.get()) == ARCHIVE_OK;
}

QList<ZipEntry> treeEntries(const QString &root, const QString &prefix)
{
    QList<ZipEntry> entries;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QFileInfo info(it.next());
        ZipEntry entry{.name = prefix + info.filePath().mid(root.size() + 1),
                       .dir = info.isDir(),
                       .mode = info.isDir() || info.isExecutable() ? 0755 : 0644};
        QFile file(info.filePath());
        if (!entry.dir && file.open(QIODevice::ReadOnly))
            entry.data = file.readAll();
        entries.append(entry);
    }
    return entries;
}
