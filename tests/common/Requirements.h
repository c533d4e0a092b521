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

// A self-signed certificate for 127.0.0.1 made by openssl in `folder`, server.pem and server.key,
// and a copy as a private CA's, ca/ca.pem. False when openssl is missing or fails.
inline bool makeCertificates(const QString &folder)
{
    const QDir dir(folder);
    QProcess openssl;
    openssl.start(QStringLiteral("openssl"),
                  {u"req"_qs, u"-x509"_qs, u"-days"_qs, u"2"_qs, u"-subj"_qs, u"/CN=127.0.0.1"_qs, u"-addext"_qs,
                   u"subjectAltName=IP:127.0.0.1"_qs, u"-newkey"_qs, u"ec"_qs, u"-pkeyopt"_qs, u"ec_paramgen_curve:prime256v1"_qs,
                   u"-nodes"_qs, u"-keyout"_qs, dir.filePath(u"server.key"_qs), u"-out"_qs, dir.filePath(u"server.pem"_qs)});
    return openssl.waitForFinished() && openssl.exitCode() == 0 && dir.mkpath(QStringLiteral("ca"))
           && QFile::copy(dir.filePath(u"server.pem"_qs), dir.filePath(u"ca/ca.pem"_qs));
}
