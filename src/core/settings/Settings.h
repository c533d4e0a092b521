#pragma once

#include <QString>

#include <array>

namespace tessaly {

// The ten user settings, held as the texts the user typed or the configuration file held:
// never trimmed, validated or converted here. Each reader interprets its own fields.
struct Settings {
    QString charset = QStringLiteral("Shift_JIS");
    QString rowset = QStringLiteral("ROWSET");
    QString row = QStringLiteral("ROW");
    QString url = QStringLiteral("http://localhost:8080/servlets/Insert");
    QString protocol = QStringLiteral("icDefault");
    QString proxy;
    QString user;
    QString password;
    QString timeout = QStringLiteral("60");
    QString table = QStringLiteral("EMP");

    bool operator==(const Settings &) const = default;
};

// Where each setting lives in XMLConfig.xml, in the order in which the file is read and written.
struct SettingField {
    const char *section;
    const char *leaf;
    QString Settings::*member;
};

inline constexpr std::array<SettingField, 10> kSettingFields{{
    {"xmlSetting", "charset", &Settings::charset},
    {"xmlSetting", "rowset", &Settings::rowset},
    {"xmlSetting", "row", &Settings::row},
    {"network", "url", &Settings::url},
    {"network", "protocol", &Settings::protocol},
    {"network", "proxy", &Settings::proxy},
    {"network", "user", &Settings::user},
    {"network", "password", &Settings::password},
    {"network", "timeout", &Settings::timeout},
    {"DB", "table", &Settings::table},
}};

// Trimming in this program removes leading and trailing space characters (U+0020) only.
QString trimSpaces(const QString &text);

// A blank name (empty or spaces only) is replaced by its default; anything else stays as typed.
QString restoreBlankName(const QString &text, const QString &defaultName);

} // namespace tessaly
