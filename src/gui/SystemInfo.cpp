#include "gui/SystemInfo.h"

#include <QFileInfo>
#include <QProcess>
#include <QtEndian>

namespace tessaly {

namespace {

// Where the system information tool is registered: its full path, or else its folder.
const QString kToolPathKey = QStringLiteral("SOFTWARE\\Microsoft\\Shared Tools\\MSINFO");
const QString kToolPathValue = QStringLiteral("PATH");
const QString kToolFolderKey = QStringLiteral("SOFTWARE\\Microsoft\\Shared Tools Location");
const QString kToolFolderValue = QStringLiteral("MSINFO");
const QString kToolProgramFile = QStringLiteral("\\MSINFO32.EXE");

#ifndef Q_OS_WIN
class NoRegistry final : public Registry {
public:
    std::optional<RegistryValue> read(RegistryRoot, const QString &, const QString &) override { return std::nullopt; }
};
#endif

} // namespace

#ifndef Q_OS_WIN
std::unique_ptr<Registry> makeSystemRegistry()
{
    return std::make_unique<NoRegistry>();
}
#endif

bool QtProgramLauncher::isFile(const QString &path)
{
    return QFileInfo(path).isFile();
}

bool QtProgramLauncher::start(const QString &programPath)
{
    return QProcess::startDetached(programPath, {});
}

bool registryValue(Registry &registry, RegistryRoot keyRoot, const QString &keyName, const QString &subKeyRef, QString &keyValue)
{
    const std::optional<RegistryValue> value = registry.read(keyRoot, keyName, subKeyRef);
    if (!value || value->data.size() > kRegistryBufferSize) {
        keyValue.clear();
        return false;
    }
    switch (value->type) {
    case kRegistryString: {
        QByteArray text = value->data;
        if (text.endsWith('\0'))
            text.chop(1);
        keyValue = QString::fromLocal8Bit(text);
        break;
    }
    case kRegistryNumber: {
        QByteArray bytes = value->data.left(4);
        bytes.resize(4, '\0');
        keyValue = QString::number(qFromLittleEndian<quint32>(bytes.constData()));
        break;
    }
    default:
        break;
    }
    return true;
}

bool launchSystemInfo(Registry &registry, ProgramLauncher &launcher)
{
    QString path;
    if (!registryValue(registry, RegistryRoot::LocalMachine, kToolPathKey, kToolPathValue, path)) {
        QString folder;
        if (!registryValue(registry, RegistryRoot::LocalMachine, kToolFolderKey, kToolFolderValue, folder))
            return false;
        path = folder + kToolProgramFile;
        if (!launcher.isFile(path))
            return false;
    }
    return launcher.start(path);
}

} // namespace tessaly
