#include "core/files/AtomicFile.h"

#include "core/files/FileError.h"

#include <QFile>
#include <QSaveFile>

namespace tessaly {

Outcome writeFileAtomically(const QString &path, const QByteArray &bytes, std::optional<QFileDevice::Permissions> newFilePermissions)
{
    const auto write = [&bytes](QIODevice &device) -> Outcome {
        if (device.write(bytes) != bytes.size())
            return Failure{describeFileError(device)};
        return {};
    };
    return writeFileAtomically(path, write, newFilePermissions);
}

Outcome writeFileAtomically(const QString &path, const std::function<Outcome(QIODevice &)> &write,
                            std::optional<QFileDevice::Permissions> newFilePermissions)
{
    const bool exists = QFile::exists(path);
    // Checked by its flag, not by access rights: an administrator may write anywhere, but a file the
    // user marked read-only is meant to stay as it is.
    if (exists && !(QFile::permissions(path) & QFileDevice::WriteOwner)) {
        return Failure{QStringLiteral("ファイルが読み取り専用です。")};
    }
    QSaveFile file(path);
    // A folder the user may not write can hold a file the user may: such a file is written in
    // place, since no temporary file can be made beside it. Everywhere else the save stays atomic.
    file.setDirectWriteFallback(true);
    if (!file.open(QIODevice::WriteOnly))
        return Failure{describeFileError(file)};
    // A file that holds a password must not stay readable by others under a loose umask.
    if (!exists && newFilePermissions && !file.setPermissions(*newFilePermissions)) {
        file.cancelWriting();
        return Failure{QStringLiteral("ファイルを所有者だけが読める設定にできませんでした。")};
    }
    if (Outcome written = write(file); !written) {
        file.cancelWriting();
        return written;
    }
    if (!file.commit())
        return Failure{describeFileError(file)};
    return {};
}

} // namespace tessaly
