#pragma once

#include <QDir>
#include <QProcess>
#include <QTest>

// Ends a test whose tool, font or server is missing: a failure where CI runs it (CI installs
// everything), a skip elsewhere.
#define MISSING(reason)                                                                                                          \
    do {                                                                                                                         \
        if (qgetenv("CI") == "true")                                                                                             \
            QFAIL(reason);                                                                                                       \
        QSKIP(reason);                                                                                                           \
    } while (false)

// A private CA and a certificate it signed for 127.0.0.1, made by openssl in `folder`: ca/ca.pem,
// server.pem and server.key. False when openssl is missing or fails.
inline bool makeCertificates(const QString &folder)
{
    const QDir dir(folder);
    const auto path = [&](const char *name) { return dir.filePath(QLatin1String(name)); };
    QFile extensions(path("server.cnf"));
    if (!dir.mkpath(QStringLiteral("ca")) || !extensions.open(QIODevice::WriteOnly)
        || extensions.write("subjectAltName=IP:127.0.0.1\n") <= 0)
        return false;
    extensions.close();
    const QStringList newKey{u"-newkey"_qs, u"ec"_qs, u"-pkeyopt"_qs, u"ec_paramgen_curve:prime256v1"_qs, u"-nodes"_qs};
    const QList<QStringList> commands{
        QStringList{u"req"_qs, u"-x509"_qs, u"-days"_qs, u"2"_qs, u"-subj"_qs, u"/CN=Tessaly test CA"_qs} + newKey
            + QStringList{u"-keyout"_qs, path("ca.key"), u"-out"_qs, path("ca/ca.pem")},
        QStringList{u"req"_qs, u"-subj"_qs, u"/CN=127.0.0.1"_qs} + newKey
            + QStringList{u"-keyout"_qs, path("server.key"), u"-out"_qs, path("server.csr")},
        {u"x509"_qs, u"-req"_qs, u"-days"_qs, u"2"_qs, u"-in"_qs, path("server.csr"), u"-CA"_qs, path("ca/ca.pem"), u"-CAkey"_qs,
         path("ca.key"), u"-CAcreateserial"_qs, u"-extfile"_qs, path("server.cnf"), u"-out"_qs, path("server.pem")}};
    for (const QStringList &arguments : commands) {
        QProcess openssl;
        openssl.start(QStringLiteral("openssl"), arguments);
        if (!openssl.waitForFinished() || openssl.exitCode() != 0)
            return false;
    }
    return true;
}
