#include "receiver/ReceiverOptions.h"

#include <QFile>
#include <QHostAddress>
#include <QRegularExpression>

#include <limits>
#ifdef _WIN32
#define NOMINMAX
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace tessaly::receiver {

namespace {

// "HOST:PORT", "[IPv6]:PORT" or a port alone (on the loopback).
Result<ListenAddress> parseListen(const QString &text)
{
    static const QRegularExpression form(QStringLiteral(R"(^(?:(?:\[([0-9A-Fa-f:.]+)\]|([^:\[\]]+)):)?(\d{1,5})$)"));
    const QRegularExpressionMatch match = form.match(text);
    const int port = match.captured(3).toInt();
    if (!match.hasMatch() || port > 65535)
        return Failure{
            QStringLiteral("--listen「%1」が正しくありません。127.0.0.1:8080、[::1]:8080 のように指定して下さい。").arg(text)};
    QString host = match.captured(1) + match.captured(2);
    return ListenAddress{host.isEmpty() ? QStringLiteral("localhost") : host, port};
}

// A byte count for `option`: "1048576", "512K", "64M", "1G" (powers of 1024), never 0.
Result<qint64> parseSize(const QString &option, const QString &text)
{
    static const QRegularExpression form(QStringLiteral(R"(^(\d{1,15})([KMG]?)$)"), QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch match = form.match(text);
    const QString unit = match.captured(2).toUpper();
    const int shift = unit.isEmpty() ? 0 : int(QStringLiteral("KMG").indexOf(unit) + 1) * 10;
    const qint64 count = match.captured(1).toLongLong();
    if (!match.hasMatch() || count == 0 || count > std::numeric_limits<qint64>::max() >> shift)
        return Failure{QStringLiteral("%1「%2」が正しくありません。バイト数か 512M、1G のように指定して下さい。").arg(option, text)};
    return count << shift;
}

// The password: the file's content without its line ends.
Result<QByteArray> readPassword(const QString &path)
{
    const Failure unusable{QStringLiteral("パスワードファイル「%1」を読めないか、空です。").arg(path)};
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return unusable;
    QByteArray password = file.readAll();
    while (password.endsWith('\n') || password.endsWith('\r'))
        password.chop(1);
    if (password.isEmpty())
        return unusable;
    return password;
}

} // namespace

bool isLoopback(const QString &host)
{
    return host == u"localhost" || QHostAddress(host).isLoopback();
}

qint64 defaultBodyBudget()
{
#ifdef _WIN32
    MEMORYSTATUSEX status{};
    status.dwLength = sizeof status;
    const qint64 memory = GlobalMemoryStatusEx(&status) ? qint64(status.ullTotalPhys) : 0;
#else
    const qint64 memory = qint64(sysconf(_SC_PHYS_PAGES)) * sysconf(_SC_PAGESIZE);
#endif
    return memory > 0 ? memory / 4 : qint64(1) << 30;
}

namespace {

// Sets the option that `name` gives a value to; `passwordFile` is read once every option is known.
Outcome applyValue(ReceiverOptions &options, QString &passwordFile, const QString &name, const QString &value)
{
    if (name == u"--listen") {
        const Result<ListenAddress> listen = parseListen(value);
        if (!listen)
            return listen.failure();
        options.listen = *listen;
    } else if (name == u"--path") {
        options.path = value.startsWith(u'/') ? value : u'/' + value;
    } else if (name == u"--database") {
        options.database = value;
    } else if (name == u"--user") {
        options.user = value;
    } else if (name == u"--password-file") {
        passwordFile = value;
    } else if (name == u"--tls-cert") {
        options.tlsCertificate = value;
    } else if (name == u"--tls-key") {
        options.tlsKey = value;
    } else if (name == u"--workers" || name == u"--per-client") {
        bool number = false;
        const int count = value.toInt(&number);
        if (!number || count < 1 || count > 10000)
            return Failure{QStringLiteral("%1「%2」が正しくありません。1 から 10000 までの数を指定して下さい。").arg(name, value)};
        (name == u"--workers" ? options.workers : options.perClient) = count;
    } else {
        const Result<qint64> size = parseSize(name, value);
        if (!size)
            return size.failure();
        (name == u"--max-body" ? options.maxBody : options.bodyBudget) = *size;
    }
    return {};
}

// Fills in the defaults that depend on other options, reads the password, and refuses options
// that only make sense together or that would send credentials in clear.
Outcome completeOptions(ReceiverOptions &options, const QString &passwordFile)
{
    if (options.bodyBudget == 0)
        options.bodyBudget = defaultBodyBudget();
    // A body larger than the whole budget could never be received.
    options.maxBody = std::min(options.maxBody, options.bodyBudget);
    options.perClient = std::min(options.perClient, options.workers);

    if (options.tlsCertificate.isEmpty() != options.tlsKey.isEmpty())
        return Failure{QStringLiteral("--tls-cert と --tls-key は両方とも指定して下さい。")};
    if (options.user.isEmpty() != passwordFile.isEmpty())
        return Failure{QStringLiteral("--user と --password-file は両方とも指定して下さい。")};
    if (passwordFile.isEmpty())
        return {};
    const Result<QByteArray> password = readPassword(passwordFile);
    if (!password)
        return password.failure();
    options.password = *password;
    if (!isLoopback(options.listen.host) && options.tlsCertificate.isEmpty()) {
        return Failure{
            QStringLiteral("--user を使うときは、ループバック以外のアドレス（%1）では --tls-cert と --tls-key も指定して下さい。"
                           "パスワードが暗号化されずにネットワークを流れるためです。")
                .arg(options.listen.host)};
    }
    return {};
}

} // namespace

Result<ReceiverOptions> parseOptions(const QStringList &arguments)
{
    ReceiverOptions options;
    QString passwordFile;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        QString name = arguments.at(i);
        std::optional<QString> inlineValue;
        if (const qsizetype equals = name.indexOf(u'='); name.startsWith(u"--") && equals > 0) {
            inlineValue = name.mid(equals + 1);
            name.truncate(equals);
        }
        if (name == u"--help" || name == u"-h") {
            options.help = true;
            continue;
        }
        if (name == u"--create-tables" || name == u"--empty-as-text") {
            (name == u"--create-tables" ? options.createTables : options.emptyAsText) = true;
            continue;
        }
        static const QStringList valued = {u"--listen"_qs,        u"--path"_qs,     u"--database"_qs,  u"--user"_qs,
                                           u"--password-file"_qs, u"--tls-cert"_qs, u"--tls-key"_qs,   u"--max-body"_qs,
                                           u"--body-budget"_qs,   u"--workers"_qs,  u"--per-client"_qs};
        if (!valued.contains(name))
            return Failure{QStringLiteral("オプション「%1」はありません。--help で使い方を表示します。").arg(arguments.at(i))};
        if (!inlineValue && i + 1 >= arguments.size())
            return Failure{QStringLiteral("%1 の後に値を指定して下さい。").arg(name)};
        if (Outcome applied = applyValue(options, passwordFile, name, inlineValue ? *inlineValue : arguments.at(++i)); !applied)
            return applied.failure();
    }
    if (options.help)
        return options;
    if (Outcome completed = completeOptions(options, passwordFile); !completed)
        return completed.failure();
    return options;
}

} // namespace tessaly::receiver
