#include "core/settings/Settings.h"

#include <cmath>

namespace tessaly {

Protocol protocolFromSetting(const QString &setting)
{
    for (const ProtocolName &name : kProtocolNames) {
        if (setting == name.setting)
            return name.protocol;
    }
    return Protocol::Default;
}

std::optional<float> timeoutNumber(const QString &text)
{
    bool ok = false;
    const float value = text.toFloat(&ok);
    if (!ok || !std::isfinite(value))
        return std::nullopt;
    return value;
}

Result<int> timeoutSeconds(const QString &text)
{
    const std::optional<float> seconds = timeoutNumber(text);
    // nearbyint rounds in the default mode, to nearest with ties to even: 2.5 gives 2, 3.5 gives 4.
    const float rounded = seconds ? std::nearbyint(*seconds) : -1.0f;
    if (rounded < 0.0f || rounded >= 2147483648.0f)
        return Failure{invalidTimeoutText()};
    return static_cast<int>(rounded);
}

QString invalidTimeoutText()
{
    return QStringLiteral("タイムアウトには1から999までの秒数を指定して下さい。");
}

QString trimSpaces(const QString &text)
{
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && text.at(begin) == u' ')
        ++begin;
    while (end > begin && text.at(end - 1) == u' ')
        --end;
    return text.mid(begin, end - begin);
}

QString restoreBlankName(const QString &text, const QString &defaultName)
{
    return trimSpaces(text).isEmpty() ? defaultName : text;
}

bool leavingRestoresBlankName(Qt::FocusReason reason)
{
    return reason != Qt::PopupFocusReason && reason != Qt::MenuBarFocusReason && reason != Qt::ActiveWindowFocusReason;
}

} // namespace tessaly
