#include "gui/SystemInfo.h"

#include <windows.h>

namespace tessaly {

namespace {

// Read rights only: a standard user may not open these machine-wide keys for writing, and the
// values are only read. A key that cannot be opened counts as absent.
constexpr REGSAM kReadAccess = KEY_READ;

class WindowsRegistry final : public Registry {
public:
    std::optional<RegistryValue> read(RegistryRoot, const QString &keyName, const QString &valueName) override
    {
        HKEY key = nullptr;
        const QByteArray keyPath = keyName.toLocal8Bit();
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath.constData(), 0, kReadAccess, &key) != ERROR_SUCCESS)
            return std::nullopt;
        const std::optional<RegistryValue> value = query(key, valueName.toLocal8Bit());
        RegCloseKey(key);
        return value;
    }

private:
    // The whole value, whatever its size; the caller decides what is too large.
    static std::optional<RegistryValue> query(HKEY key, const QByteArray &name)
    {
        DWORD type = 0;
        DWORD size = 0;
        if (RegQueryValueExA(key, name.constData(), nullptr, &type, nullptr, &size) != ERROR_SUCCESS)
            return std::nullopt;
        QByteArray data(static_cast<qsizetype>(size), '\0');
        if (RegQueryValueExA(key, name.constData(), nullptr, &type, reinterpret_cast<LPBYTE>(data.data()), &size) != ERROR_SUCCESS)
            return std::nullopt;
        data.truncate(static_cast<qsizetype>(size));
        return RegistryValue{static_cast<quint32>(type), data};
    }
};

} // namespace

std::unique_ptr<Registry> makeSystemRegistry()
{
    return std::make_unique<WindowsRegistry>();
}

} // namespace tessaly
