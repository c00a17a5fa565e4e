#pragma once

#include <QByteArray>
#include <QString>

#include <atomic>

// Unpacks a zip archive held in memory into a folder, refusing anything that would reach
// outside it: absolute paths, ".." components, links that lead out, writes through links,
// device files. Total size and entry count are capped so that a hostile archive cannot
// fill the disk. Partial output is left for the caller to remove.
namespace ArchiveExtractor {

constexpr qint64 maxUnpackedBytes = qint64(1) << 30;
constexpr int maxEntries = 50000;

// True when every entry was unpacked; false on any damaged or refused entry, or once
// cancelled (which may be null) becomes true.
bool extract(const QByteArray &zip, const QString &folder, const std::atomic<bool> *cancelled);

} // namespace ArchiveExtractor
