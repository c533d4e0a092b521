#pragma once

#include <QByteArray>
#include <QString>

#include <memory>
#include <optional>

namespace tessaly {

// The predefined registry root the program reads from.
enum class RegistryRoot { LocalMachine };

// Registry value types the program tells apart.
inline constexpr quint32 kRegistryString = 1; // REG_SZ
inline constexpr quint32 kRegistryNumber = 4; // REG_DWORD, little-endian

// Values larger than this many bytes are not read.
inline constexpr qsizetype kRegistryBufferSize = 1024;

struct RegistryValue {
    quint32 type = 0;
    QByteArray data; // the bytes as stored, text in the system code page, terminating NUL included
};

// Read access to the system registry.
class Registry {
public:
    virtual ~Registry() = default;
    // Nothing when the key cannot be opened for reading or the value cannot be read.
    virtual std::optional<RegistryValue> read(RegistryRoot root, const QString &keyName, const QString &valueName) = 0;
};

// Starting another program.
class ProgramLauncher {
public:
    virtual ~ProgramLauncher() = default;
    virtual bool isFile(const QString &path) = 0;
    // Starts the program in a normal window with the focus and does not wait for it.
    virtual bool start(const QString &programPath) = 0;
};

// The platform's registry; where there is none, every read fails.
std::unique_ptr<Registry> makeSystemRegistry();

// Files and processes through Qt.
class QtProgramLauncher final : public ProgramLauncher {
public:
    bool isFile(const QString &path) override;
    bool start(const QString &programPath) override;
};

// Reads one value into keyValue. A missing or unreadable value, or one over kRegistryBufferSize
// bytes, gives false and an empty keyValue. A string comes back without its terminating NUL, a
// number as decimal digits; a value of another type leaves keyValue as it was but still counts.
bool registryValue(Registry &registry, RegistryRoot keyRoot, const QString &keyName, const QString &subKeyRef, QString &keyValue);

// Starts the system information tool found through the registry; false when it is unavailable.
bool launchSystemInfo(Registry &registry, ProgramLauncher &launcher);

} // namespace tessaly
