#include "core/files/AtomicFile.h"

#include "core/files/FileError.h"

#include <QFile>
#include <QSaveFile>

namespace tessaly {

bool writeFileAtomically(const QString &path, const QByteArray &bytes,
                         std::optional<QFileDevice::Permissions> newFilePermissions, QString *reason)
{
    return writeFileAtomically(
        path, [&bytes](QIODevice &device) { return device.write(bytes) == bytes.size() ? QString() : describeFileError(device); },
        newFilePermissions, reason);
}

bool writeFileAtomically(const QString &path, const std::function<QString(QIODevice &)> &write,
                         std::optional<QFileDevice::Permissions> newFilePermissions, QString *reason)
{
    const bool exists = QFile::exists(path);
    // Checked by its flag, not by access rights: an administrator may write anywhere, but a file the
    // user marked read-only is meant to stay as it is.
    if (exists && !(QFile::permissions(path) & QFileDevice::WriteOwner)) {
        *reason = QStringLiteral("ファイルが読み取り専用です。");
        return false;
    }
    QSaveFile file(path);
    // A folder the user may not write can hold a file the user may: such a file is written in
    // place, since no temporary file can be made beside it. Everywhere else the save stays atomic.
    file.setDirectWriteFallback(true);
    if (!file.open(QIODevice::WriteOnly)) {
        *reason = describeFileError(file);
        return false;
    }
    // A file that holds a password must not stay readable by others under a loose umask.
    if (!exists && newFilePermissions && !file.setPermissions(*newFilePermissions)) {
        file.cancelWriting();
        *reason = QStringLiteral("ファイルを所有者だけが読める設定にできませんでした。");
        return false;
    }
    if (const QString error = write(file); !error.isEmpty()) {
        file.cancelWriting();
        *reason = error;
        return false;
    }
    if (!file.commit()) {
        *reason = describeFileError(file);
        return false;
    }
    return true;
}

} // namespace tessaly
