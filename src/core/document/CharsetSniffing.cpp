#include "core/document/CharsetSniffing.h"

#include <QRegularExpression>

#include <algorithm>

namespace tessaly {

QString contentTypeCharset(const QString &contentType)
{
    const qsizetype at = contentType.indexOf(u"charset=", 0, Qt::CaseInsensitive);
    if (at < 0)
        return {};
    QString name = contentType.mid(at + 8).section(u';', 0, 0).trimmed();
    name.remove(u'"');
    return name;
}

QString declaredEncoding(QByteArrayView document)
{
    static const QRegularExpression declaration(QStringLiteral(R"(^\s*<\?xml\s[^>]*?encoding\s*=\s*["']([A-Za-z0-9._:-]+)["'])"));
    return declaration.match(QString::fromLatin1(document.first(std::min<qsizetype>(document.size(), 200)))).captured(1);
}

} // namespace tessaly
