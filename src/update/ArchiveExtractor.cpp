#include "update/ArchiveExtractor.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <memory>

#include <archive.h>
#include <archive_entry.h>

namespace ArchiveExtractor {

namespace {

using Reader = std::unique_ptr<archive, decltype(&archive_read_free)>;
using Writer = std::unique_ptr<archive, decltype(&archive_write_free)>;

bool leavesRoot(const QString &relative)
{
    const QString clean = QDir::cleanPath(relative);
    return clean == QLatin1String("..") || clean.startsWith(QLatin1String("../"));
}

// Checks one entry and points it at its place under root. Only plain files, folders and
// links that stay inside the archive's own tree are admitted.
bool admit(archive_entry *entry, const QString &root)
{
    const char *utf8 = archive_entry_pathname_utf8(entry);
    if (!utf8 || !*utf8 || archive_entry_hardlink(entry))
        return false;
    const QString name = QString::fromUtf8(utf8);
    // "." would name the folder itself, whose owner-only mode must stay.
    if (QDir::isAbsolutePath(name) || QDir::cleanPath(name) == QLatin1String(".") ||
        name.split(QLatin1Char('/')).contains(QLatin1String("..")))
        return false;
    switch (archive_entry_filetype(entry)) {
    case AE_IFDIR:
        // Our own tree must stay removable and movable, whatever modes the archive names.
        archive_entry_set_perm(entry, (archive_entry_perm(entry) | 0700) & 0755);
        break;
    case AE_IFREG:
        archive_entry_set_perm(entry, (archive_entry_perm(entry) | 0600) & 0755);
        break;
    case AE_IFLNK: {
        const char *utf8Target = archive_entry_symlink_utf8(entry);
        const QString target = QString::fromUtf8(utf8Target);
        if (target.isEmpty() || QDir::isAbsolutePath(target) ||
            leavesRoot(QFileInfo(name).path() + QLatin1Char('/') + target))
            return false;
        break;
    }
    default:
        return false;
    }
    archive_entry_copy_pathname(entry, QFile::encodeName(root + QLatin1Char('/') + name));
    return true;
}

bool copyData(archive *in, archive *out, qint64 *budget, const std::atomic<bool> *cancelled)
{
    for (;;) {
        const void *block = nullptr;
        size_t size = 0;
        la_int64_t offset = 0;
        const int status = archive_read_data_block(in, &block, &size, &offset);
        if (status == ARCHIVE_EOF)
            return true;
        if (status != ARCHIVE_OK || (cancelled && *cancelled))
            return false;
        // Counted before writing, and by where the block ends, so that a hole cannot hide.
        *budget -= qint64(size);
        if (*budget < 0 || offset + qint64(size) > maxUnpackedBytes)
            return false;
        if (archive_write_data_block(out, block, size, offset) != ARCHIVE_OK)
            return false;
    }
}

} // namespace

bool extract(const QByteArray &zip, const QString &folder, const std::atomic<bool> *cancelled)
{
    // Links among the folder's own ancestors would count as writes through links.
    const QString root = QFileInfo(folder).canonicalFilePath();
    if (root.isEmpty())
        return false;
    Reader in(archive_read_new(), archive_read_free);
    Writer out(archive_write_disk_new(), archive_write_free);
    if (!in || !out)
        return false;
    archive_read_support_format_zip(in.get());
    archive_write_disk_set_options(out.get(), ARCHIVE_EXTRACT_TIME |
                                                  ARCHIVE_EXTRACT_SECURE_SYMLINKS |
                                                  ARCHIVE_EXTRACT_SECURE_NODOTDOT);
    if (archive_read_open_memory(in.get(), zip.constData(), size_t(zip.size())) != ARCHIVE_OK)
        return false;

    qint64 budget = maxUnpackedBytes;
    int entries = 0;
    archive_entry *entry = nullptr;
    int status;
    while ((status = archive_read_next_header(in.get(), &entry)) == ARCHIVE_OK) {
        if (++entries > maxEntries || (cancelled && *cancelled))
            return false;
        if (archive_entry_size_is_set(entry) && archive_entry_size(entry) > budget)
            return false;
        if (!admit(entry, root) || archive_write_header(out.get(), entry) != ARCHIVE_OK)
            return false;
        if (!copyData(in.get(), out.get(), &budget, cancelled))
            return false;
        if (archive_write_finish_entry(out.get()) != ARCHIVE_OK)
            return false;
    }
    return status == ARCHIVE_EOF && archive_write_close(out.get()) == ARCHIVE_OK;
}

} // namespace ArchiveExtractor
