#pragma once

#include "core/Result.h"

#include <QByteArray>
#include <QFileDevice>
#include <QString>

#include <functional>
#include <optional>

namespace tessaly {

// Replaces the file's content in one step: the bytes go to a temporary file beside it, which is then
// renamed over the old one, so a failure (full disk, no rights) leaves the old file as it was.
// Only where no temporary file can be made beside it (a folder the user may not write) is an
// existing writable file written in place. A file marked read-only is never replaced.
// `newFilePermissions`, when given, applies only to a file that did not exist; an existing file
// keeps its permissions. The failure says why, without naming the file.
Outcome writeFileAtomically(const QString &path, const QByteArray &bytes,
                            std::optional<QFileDevice::Permissions> newFilePermissions);

// The same with the content written by `write`.
Outcome writeFileAtomically(const QString &path, const std::function<Outcome(QIODevice &)> &write,
                            std::optional<QFileDevice::Permissions> newFilePermissions);

} // namespace tessaly
