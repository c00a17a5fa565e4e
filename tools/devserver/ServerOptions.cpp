#include "ServerOptions.h"

#include <QCommandLineParser>
#include <QFile>
#include <QStandardPaths>

namespace {

std::optional<qint64> number(const QString &text, qint64 min, qint64 max)
{
    bool ok = false;
    const qint64 value = text.toLongLong(&ok);
    if (!ok || value < min || value > max)
        return std::nullopt;
    return value;
}

} // namespace

std::optional<ServerOptions> ServerOptions::parse(const QStringList &arguments, QString *error)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Local corvane server: uploads, stored images and update files."));
    parser.addHelpOption();
    const QCommandLineOption port(QStringLiteral("port"),
                                  QStringLiteral("Port on 127.0.0.1 (0: any free port)."),
                                  QStringLiteral("N"), QStringLiteral("8787"));
    const QCommandLineOption data(QStringLiteral("data"), QStringLiteral("Folder of uploads."),
                                  QStringLiteral("DIR"));
    const QCommandLineOption releases(QStringLiteral("releases"),
                                      QStringLiteral("Folder of update files (DATA/releases)."),
                                      QStringLiteral("DIR"));
    const QCommandLineOption log(QStringLiteral("log"),
                                 QStringLiteral("Append one JSON line per request to FILE."),
                                 QStringLiteral("FILE"));
    const QCommandLineOption maxBody(QStringLiteral("max-body"),
                                     QStringLiteral("Largest request body accepted."),
                                     QStringLiteral("BYTES"));
    const QCommandLineOption status(QStringLiteral("status"),
                                    QStringLiteral("Answer uploads with this status."),
                                    QStringLiteral("N"));
    const QCommandLineOption body(QStringLiteral("body"),
                                  QStringLiteral("Answer uploads with this body."),
                                  QStringLiteral("TEXT"));
    const QCommandLineOption bodyFile(QStringLiteral("body-file"),
                                      QStringLiteral("Answer uploads with this file's bytes."),
                                      QStringLiteral("FILE"));
    const QCommandLineOption contentType(QStringLiteral("content-type"),
                                         QStringLiteral("Content-Type of --body answers."),
                                         QStringLiteral("TYPE"));
    const QCommandLineOption header(QStringLiteral("header"),
                                    QStringLiteral("Extra 'Name: value' on upload answers."),
                                    QStringLiteral("LINE"));
    const QCommandLineOption stall(QStringLiteral("stall"),
                                   QStringLiteral("Read uploads but never answer them."));
    const QCommandLineOption trickle(
        QStringLiteral("trickle"),
        QStringLiteral("Answer uploads and update downloads with a body that comes a byte every "
                       "100 ms."));
    const QCommandLineOption drop(QStringLiteral("drop"),
                                  QStringLiteral("Close upload connections unanswered."));
    const QCommandLineOption oversize(
        QStringLiteral("oversize"),
        QStringLiteral("Answer uploads with a streamed JSON body of N bytes (more if N is too "
                       "short) whose last members are \"error\" and \"url\"."),
        QStringLiteral("N"));
    const QCommandLineOption updateStatus(
        QStringLiteral("update-status"),
        QStringLiteral("Answer update downloads with this status (no body for 304)."),
        QStringLiteral("N"));
    parser.addOptions({port, data, releases, log, maxBody, status, body, bodyFile, contentType,
                       header, stall, trickle, drop, oversize, updateStatus});
    if (!parser.parse(arguments)) {
        *error = parser.errorText();
        return std::nullopt;
    }
    if (parser.isSet(QStringLiteral("help")))
        parser.showHelp(0);

    ServerOptions options;
    const auto portNumber = number(parser.value(port), 0, 65535);
    if (!portNumber) {
        *error = QStringLiteral("--port needs a number from 0 to 65535");
        return std::nullopt;
    }
    options.port = quint16(*portNumber);
    options.dataDir = parser.isSet(data)
                          ? parser.value(data)
                          : QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
                                QStringLiteral("/corvane-devserver");
    options.releasesDir = parser.isSet(releases) ? parser.value(releases)
                                                 : options.dataDir + QStringLiteral("/releases");
    options.logFile = parser.value(log);
    if (parser.isSet(maxBody)) {
        const auto limit = number(parser.value(maxBody), 0, qint64(1) << 40);
        if (!limit) {
            *error = QStringLiteral("--max-body needs a byte count");
            return std::nullopt;
        }
        options.maxBodyBytes = *limit;
    }
    if (parser.isSet(status)) {
        options.status = number(parser.value(status), 200, 599);
        if (!options.status) {
            *error = QStringLiteral("--status needs a number from 200 to 599");
            return std::nullopt;
        }
    }
    if (parser.isSet(updateStatus)) {
        options.updateStatus = number(parser.value(updateStatus), 200, 599);
        if (!options.updateStatus) {
            *error = QStringLiteral("--update-status needs a number from 200 to 599");
            return std::nullopt;
        }
    }
    if (parser.isSet(body))
        options.body = parser.value(body).toUtf8();
    if (parser.isSet(bodyFile)) {
        QFile file(parser.value(bodyFile));
        if (!file.open(QIODevice::ReadOnly)) {
            *error = QStringLiteral("cannot read ") + file.fileName();
            return std::nullopt;
        }
        options.body = file.readAll();
    }
    options.contentType = parser.isSet(contentType) ? parser.value(contentType).toUtf8()
                                                    : QByteArray("application/json");
    for (const QString &line : parser.values(header)) {
        const qsizetype colon = line.indexOf(QLatin1Char(':'));
        if (colon <= 0 || line.contains(QLatin1Char('\r')) || line.contains(QLatin1Char('\n'))) {
            *error = QStringLiteral("--header needs 'Name: value'");
            return std::nullopt;
        }
        options.extraHeaders.append(
            {line.left(colon).trimmed().toUtf8(), line.mid(colon + 1).trimmed().toUtf8()});
    }
    options.stall = parser.isSet(stall);
    options.trickle = parser.isSet(trickle);
    options.drop = parser.isSet(drop);
    if (parser.isSet(oversize)) {
        options.oversize = number(parser.value(oversize), 64, qint64(1) << 40);
        if (!options.oversize) {
            *error = QStringLiteral("--oversize needs a byte count of at least 64");
            return std::nullopt;
        }
    }
    return options;
}
