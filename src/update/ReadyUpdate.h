#pragma once

#include <QString>

// A downloaded, verified and unpacked new version waiting to be installed.
struct ReadyUpdate
{
    QString version;
    // The unpacked "corvane.app" inside its staging folder.
    QString app;
};
