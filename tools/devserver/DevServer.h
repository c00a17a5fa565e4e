#pragma once

#include <QObject>
#include <QString>
#include <QTcpServer>

#include "HttpRequest.h"
#include "HttpResponse.h"
#include "RequestLog.h"
#include "ServerOptions.h"

class HttpConnection;

// The server's routes on 127.0.0.1: uploads into the data folder, stored images, update files
// from the releases folder, and the help page.
class DevServer : public QObject
{
    Q_OBJECT

public:
    explicit DevServer(ServerOptions options, QObject *parent = nullptr);

    bool listen(QString *error);
    quint16 port() const { return server.serverPort(); }

private:
    void accept();
    void handle(HttpConnection *connection, const HttpRequest &request);
    void handleUpload(HttpConnection *connection, const HttpRequest &request);
    HttpResponse store(const HttpRequest &request);
    HttpResponse route(const HttpRequest &request) const;
    // The host:port to put in links: the request's Host when it is a plain host name or
    // address, else the address this server listens on.
    QString linkAuthority(const HttpRequest &request) const;

    ServerOptions options;
    QTcpServer server;
    RequestLog log;
};
