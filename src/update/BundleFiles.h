#pragma once

#include <QString>
#include <QStringList>

#include <optional>

// Whole-bundle file operations for installing an update. Failures come back with a
// description naming the path concerned.
namespace BundleFiles {

constexpr QLatin1StringView partialSuffix{".partial-"};

// Deletes whatever is at path (file, link or folder tree); links are removed, never
// followed. True when nothing is left there.
bool removeItem(const QString &path);

// Moves a file or folder tree. Fails when something already sits at the destination.
// Across file systems the tree is copied beside the destination, under its name with
// partialSuffix and a unique tail, and renamed into place, so that the destination never
// holds a partial copy.
bool moveItem(const QString &from, const QString &to, QString *error);

// Creates parent (with intermediate folders) and, inside it, a new folder readable only by
// this user. A folder that already exists is never reused.
std::optional<QString> makePrivateFolder(const QString &parent, const QString &name,
                                         QString *error);

// Deletes the folders in parent whose names start with prefix and that belong to this user.
void removeOwnFolders(const QString &parent, const QString &prefix);

// Writes everything of the file system holding path to the disk, so that renames made next
// never outlast the data of the files they name.
void flushFileSystem(const QString &path);

// Whether this process can create entries in the folder, found by creating and removing one:
// permissions alone do not stop root, yet a read-only file system does.
bool isWritableFolder(const QString &path);

// Starts program detached and waits until it says through the socket named in its
// CORVANE_STARTED_FD that it came up (see announceStarted()). False when it could not start,
// ended first or stayed silent for timeoutMs, after which it is killed.
bool startConfirmed(const QString &program, const QStringList &arguments, int timeoutMs);

// Said by a process that startConfirmed() started, once it runs; nothing for any other.
void announceStarted();

} // namespace BundleFiles
