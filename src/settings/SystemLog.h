#pragma once

#include <QString>

// One line to the system log (ident "corvane") and to standard error. The text is passed
// as data, never as a format string.
void systemLog(const QString &message);
