#include "settings/SystemLog.h"

#include <cstdio>
#include <mutex>

#include <syslog.h>

void systemLog(const QString &message)
{
    static std::once_flag opened;
    std::call_once(opened, [] { openlog("corvane", LOG_PID, LOG_USER); });
    const QByteArray utf8 = message.toUtf8();
    syslog(LOG_NOTICE, "%s", utf8.constData());
    std::fprintf(stderr, "corvane: %s\n", utf8.constData());
}
