#pragma once

#include <QByteArray>
#include <QString>

#include <atomic>
#include <optional>

#include "update/ReadyUpdate.h"

// One check with the server: the version manifest, then, for a newer version, the archive,
// verified against the manifest's digest and unpacked into a fresh staging folder. Blocks
// its caller with its own network access and event loop, so it runs on a worker thread and
// never needs the main one. A cancelled flag (which may be null) ends it early.
class UpdateCheck
{
public:
    static constexpr qint64 manifestLimit = 65536;
    static constexpr qint64 archiveLimit = 67108864;
    // A fetch fails after this long without a byte, and in any case after five times it plus
    // the time its limit takes at 16 KB/s, however its bytes come.
    int timeoutMs = 60000;
    static constexpr QLatin1StringView stagingPrefix{"corvane-update-"};

    // serverUrl loses one trailing "/"; runningVersion is compared with the manifest's and
    // sent in the User-Agent; staging folders go into tempDir. With an updateKey (the base64
    // of an Ed25519 public key), an archive must also carry the manifest's "signature" by it.
    UpdateCheck(QString serverUrl, QString runningVersion, QString tempDir, QString updateKey = {});

    // The new version and its unpacked bundle, or nothing. No staging folder is left behind
    // unless a bundle is returned.
    std::optional<ReadyUpdate> download(const std::atomic<bool> *cancelled) const;

    // The body of a 2xx HTTP answer of at most limit bytes, or nothing. A longer body is
    // refused as soon as its announced length or the bytes received pass the limit, a slow one
    // once its time is up.
    std::optional<QByteArray> fetch(const QString &url, qint64 limit,
                                    const std::atomic<bool> *cancelled) const;

private:
    std::optional<ReadyUpdate> unpack(const QByteArray &zip, const QString &version,
                                      const std::atomic<bool> *cancelled) const;

    QString serverUrl;
    QString runningVersion;
    QString tempDir;
    QString updateKey;
};
