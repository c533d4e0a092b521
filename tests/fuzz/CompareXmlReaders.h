#pragma once

#include "core/workbook/XmlReading.h"

#include <QByteArray>

#include <algorithm>
#include <optional>

// Writes down every event it receives. It wants text inside elements whose names start with 't' or
// 'v' (as sheet parts have it), stops successfully at <stop>, with an error at <fail> and inside a
// text holding '!', so that the readers' ways of stopping are compared too.
class RecordingHandler : public tessaly::workbook::XmlHandler {
public:
    void startElement(const char *name, tessaly::workbook::XmlAttributes attributes) override
    {
        log.append('<').append(name);
        for (const tessaly::workbook::XmlAttribute &attribute : attributes) {
            log.append(' ').append(attribute.namespaceUri).append('|').append(attribute.localName);
            log.append("=\"").append(attribute.value).append('"');
        }
        log.append('>');
        m_wantsText = name[0] == 't' || name[0] == 'v';
        if (qstrcmp(name, "stop") == 0)
            stop();
        else if (qstrcmp(name, "fail") == 0)
            stop(QStringLiteral("fail"));
    }
    void endElement(const char *name) override
    {
        log.append("</").append(name).append('>');
        m_wantsText = false;
    }
    void characters(const char *text, int length) override
    {
        log.append(text, length);
        if (std::find(text, text + length, '!') != text + length)
            stop(QStringLiteral("text"));
    }

    QByteArray log;
};

// Reads bytes through one of the readers, handing them over in pieces of every size up to 64 KiB:
// the events, then how the reading ended. Nothing when the fast reader leaves the bytes to expat.
inline std::optional<QByteArray> readXmlBytes(const QByteArray &bytes, bool fast)
{
    qsizetype at = 0;
    quint32 seed = quint32(bytes.size());
    const tessaly::workbook::XmlSource source = [&](char *buffer, qsizetype capacity) {
        seed = seed * 1103515245u + 12345u;
        const qsizetype length = std::min({capacity, bytes.size() - at, qsizetype(1 + (seed >> 8) % 65536)});
        std::copy_n(bytes.constData() + at, length, buffer);
        at += length;
        return length;
    };
    RecordingHandler handler;
    const std::optional<tessaly::Outcome> read = fast ? tessaly::workbook::readXmlFast(source, handler)
                                                      : std::optional(tessaly::workbook::readXmlWithExpat(
                                                          source, handler, QStringLiteral("part.xml")));
    if (!read)
        return std::nullopt;
    return handler.log + (read->ok() ? QByteArray("\nok") : "\nfailed: " + read->failure().message.toUtf8());
}

// True when the fast reader left the bytes to expat or gave exactly expat's events and result.
inline bool fastReaderAgreesWithExpat(const QByteArray &bytes)
{
    const std::optional<QByteArray> fast = readXmlBytes(bytes, true);
    return !fast || *fast == *readXmlBytes(bytes, false);
}
