#pragma once

#include <QString>

#include <utility>
#include <variant>

#include "upload/UploadError.h"

// The outcome of one upload: the link the server answered with, or why there is none.
class UploadResult
{
public:
    static UploadResult success(QString link) { return UploadResult(std::move(link)); }
    static UploadResult failure(UploadError error) { return UploadResult(std::move(error)); }

    bool isSuccess() const { return std::holds_alternative<QString>(value); }
    // Empty for a failure; a success may also carry an empty link.
    QString link() const { return isSuccess() ? std::get<QString>(value) : QString(); }
    // Empty message for a success.
    UploadError error() const { return isSuccess() ? UploadError{} : std::get<UploadError>(value); }

private:
    explicit UploadResult(std::variant<QString, UploadError> value) : value(std::move(value)) {}

    std::variant<QString, UploadError> value;
};
