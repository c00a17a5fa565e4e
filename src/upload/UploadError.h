#pragma once

#include <QString>

// Why an upload produced no link, in words the user can be shown as they are.
struct UploadError
{
    QString message;
};
