#pragma once

#include "core/Result.h"

#include <QString>
#include <QStringView>
#include <qnamespace.h>

#include <array>
#include <optional>

namespace tessaly {

// The ten user settings and their defaults, held as the texts the user typed or the configuration
// file held: never trimmed, validated or converted in the record. The rules below read them.
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

// How a request reaches the servlet. Default and Http take the URL's scheme (http when it names
// none); Https always uses HTTPS.
enum class Protocol { Default, Http, Https };

struct ProtocolName {
    Protocol protocol;
    QStringView setting; // as the configuration file holds it
    QStringView label; // as the network dialog lists it
};

// The protocols in the network dialog's order; the first is the default.
inline constexpr std::array<ProtocolName, 3> kProtocolNames{{
    {Protocol::Default, u"icDefault", u"デフォルト"},
    {Protocol::Http, u"icHTTP", u"HTTP"},
    {Protocol::Https, u"icHTTPS", u"HTTPS"},
}};

// The protocol a setting names, matched exactly; any other text means the default protocol.
Protocol protocolFromSetting(const QString &setting);

// The network dialog lets the user type a time-out of 1 to 999 seconds.
inline constexpr float kLowestTypedTimeout = 1;
inline constexpr float kHighestTypedTimeout = 999;

// A time-out text read as a single-precision number; nothing when it has no numeric value.
std::optional<float> timeoutNumber(const QString &text);

// A stored time-out rounded to the nearest whole number, ties to the even neighbour: any whole
// number of seconds that fits an int, 0 meaning no silence limit (a settings file may hold more
// than the dialog's range). Text that is not a number, or a negative one, fails with
// invalidTimeoutText().
Result<int> timeoutSeconds(const QString &text);
QString invalidTimeoutText();

// Trimming in this program removes leading and trailing space characters (U+0020) only.
QString trimSpaces(const QString &text);

// A blank name (empty or spaces only) is replaced by its default; anything else stays as typed.
QString restoreBlankName(const QString &text, const QString &defaultName);

// Whether the focus leaving a name field with this reason is the user leaving it, which restores
// a blank name. A context menu, the menu bar and another window take the focus only for a while:
// the user may be about to paste a name into the field, so those leave the text as typed.
bool leavingRestoresBlankName(Qt::FocusReason reason);

} // namespace tessaly
