#include "core/document/XmlDocument.h"

#include "core/files/AtomicFile.h"
#include "core/document/XmlName.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace tessaly {

namespace {

constexpr QStringView kLineEnd = u"\r\n";

// Maps tag names to names the character set can write: characters it cannot hold become _xHHHH_
// (an unknown set, which cannot be saved anyway, keeps them).
class TagNames {
public:
    explicit TagNames(const QString &charset)
        : m_charset(charset)
    {
    }

    QString map(QStringView name) const { return m_charset.isValid() ? m_charset.writableName(name) : name.toString(); }

    // A tag name from a setting: a blank one falls back to its default, an invalid one is mapped.
    QString fromSetting(const QString &setting, const QString &defaultName) const
    {
        return map(toXmlName(restoreBlankName(setting, defaultName)));
    }

private:
    DocumentCharset m_charset;
};

// Writes text into a QString through a raw pointer: a document is millions of small pieces, and
// QString's own append checks sharing and capacity for each. Room is made once per record.
class TextBuffer {
public:
    explicit TextBuffer(QString &out)
        : m_out(out)
        , m_size(out.size())
    {
    }

    void makeRoom(qsizetype more)
    {
        if (m_out.size() - m_size < more)
            m_out.resize(std::max(m_size + more, m_out.size() + m_out.size() / 2));
        m_data = reinterpret_cast<char16_t *>(m_out.data());
    }

    void append(QStringView text)
    {
        std::copy_n(text.utf16(), text.size(), m_data + m_size);
        m_size += text.size();
    }

    void appendLine(QStringView a, QStringView b = {}, QStringView c = {})
    {
        makeRoom(a.size() + b.size() + c.size() + kLineEnd.size());
        append(a);
        append(b);
        append(c);
        append(kLineEnd);
    }

    // Appends cell text with markup characters escaped and characters XML 1.0 cannot hold
    // dropped. Runs of ordinary characters are copied whole. Needs room for five characters per
    // character of text.
    void appendEscaped(QStringView text)
    {
        qsizetype plainStart = 0;
        for (qsizetype i = 0; i < text.size(); ++i) {
            const char16_t c = text[i].unicode();
            const bool ordinary = c >= 0x20 && c != u'&' && c != u'<' && c != u'>'
                                  && (c < 0xD800 || (c > 0xDFFF && c < 0xFFFE));
            if (ordinary || c == u'\t' || c == u'\n')
                continue;
            if (QChar::isHighSurrogate(c) && i + 1 < text.size() && text[i + 1].isLowSurrogate()) {
                ++i;
                continue;
            }
            append(text.mid(plainStart, i - plainStart));
            plainStart = i + 1;
            switch (c) {
            case u'&':
                append(u"&amp;");
                break;
            case u'<':
                append(u"&lt;");
                break;
            case u'>':
                append(u"&gt;");
                break;
            case u'\r':
                append(u"&#13;");
                break;
            default:
                break; // a control character, a lone surrogate, U+FFFE or U+FFFF
            }
        }
        append(text.mid(plainStart));
    }

    QStringView text() const { return QStringView(m_out).first(m_size); }
    void clear() { m_size = 0; }
    void finish() { m_out.resize(m_size); }

private:
    QString &m_out;
    qsizetype m_size;
    char16_t *m_data = nullptr;
};

// Composes the document into `out`, calling `recordDone(buffer)` after each record so that a
// caller may hand the text on in pieces, each ending at a line end.
template <typename RecordDone>
void composeDocument(const xls::SheetTable &table, const Settings &settings, QString &out, RecordDone recordDone)
{
    const TagNames names(settings.charset);
    const QString rowset = names.fromSetting(settings.rowset, Settings{}.rowset);
    const QString row = names.fromSetting(settings.row, Settings{}.row);
    QList<QString> startTags;
    QList<QString> endTags;
    qsizetype recordTagLength = 2 * (row.size() + 5);
    for (qsizetype column = 0; column < table.columnCount(); ++column) {
        const QString name = names.map(table.columnName(column));
        startTags.append(QStringLiteral("<%1>").arg(name));
        endTags.append(QStringLiteral("</%1>\r\n").arg(name));
        recordTagLength += startTags.last().size() + endTags.last().size();
    }
    TextBuffer buffer(out);
    buffer.appendLine(u"<?xml version=\"1.0\" encoding=\"", settings.charset, u"\"?>");
    buffer.appendLine(u"<", rowset, u">");
    for (qsizetype record = 0; record < table.recordCount(); ++record) {
        qsizetype valueLength = 0;
        for (qsizetype column = 0; column < table.columnCount(); ++column)
            valueLength += table.value(record, column).size();
        buffer.makeRoom(recordTagLength + 5 * valueLength);
        buffer.append(u"<");
        buffer.append(row);
        buffer.append(u">\r\n");
        for (qsizetype column = 0; column < table.columnCount(); ++column) {
            buffer.append(startTags.at(column));
            buffer.appendEscaped(table.value(record, column));
            buffer.append(endTags.at(column));
        }
        buffer.append(u"</");
        buffer.append(row);
        buffer.append(u">\r\n");
        recordDone(buffer);
    }
    buffer.appendLine(u"</", rowset, u">");
    buffer.finish();
}

// Encodes and writes the pieces of a document on a second thread, in order, while the caller
// composes the next ones: composing and encoding a large document then overlap.
class PieceWriter {
public:
    PieceWriter(QIODevice &device, DocumentCharset charset)
        : m_device(device)
        , m_charset(std::move(charset))
        , m_worker([this] { run(); })
    {
    }

    ~PieceWriter() { finish(); }

    // Waits while enough pieces are queued, so memory stays bounded whatever the document's size.
    void push(QString piece)
    {
        std::unique_lock lock(m_mutex);
        m_changed.wait(lock, [this] { return m_queue.size() < kQueuedPieces; });
        m_queue.push_back(std::move(piece));
        m_changed.notify_all();
    }

    // Waits for every piece to be written; true when all were.
    bool finish()
    {
        {
            const std::lock_guard lock(m_mutex);
            m_closed = true;
        }
        m_changed.notify_all();
        if (m_worker.joinable())
            m_worker.join();
        return m_written;
    }

private:
    static constexpr std::size_t kQueuedPieces = 4;

    void run()
    {
        for (;;) {
            QString piece;
            {
                std::unique_lock lock(m_mutex);
                m_changed.wait(lock, [this] { return !m_queue.empty() || m_closed; });
                if (m_queue.empty())
                    return;
                piece = std::move(m_queue.front());
                m_queue.pop_front();
            }
            m_changed.notify_all();
            m_bytes.resize(0);
            m_charset.appendDocument(piece, m_bytes);
            m_written = m_written && m_device.write(m_bytes) == m_bytes.size();
        }
    }

    QIODevice &m_device;
    const DocumentCharset m_charset; // used by the worker only
    QByteArray m_bytes;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<QString> m_queue;
    bool m_closed = false;
    bool m_written = true; // touched by the worker only until it is joined
    std::thread m_worker;
};

QString saveFailure(const QString &path, const QString &reason)
{
    return QStringLiteral("XML 文書を %1 に保存できませんでした。\n%2").arg(path, reason);
}

} // namespace

QString buildDocument(const xls::SheetTable &table, const Settings &settings)
{
    QString out;
    composeDocument(table, settings, out, [](TextBuffer &) {});
    return out;
}

QString writeDocumentFile(QIODevice &device, const xls::SheetTable &table, const Settings &settings,
                          qsizetype pieceLength)
{
    DocumentCharset charset(settings.charset);
    if (!charset.isValid())
        return charset.unknownText();
    const QByteArray byteOrderMark = charset.byteOrderMark();
    if (device.write(byteOrderMark) != byteOrderMark.size())
        return device.errorString();
    PieceWriter writer(device, std::move(charset));
    QString rest;
    composeDocument(table, settings, rest, [&](TextBuffer &buffer) {
        if (buffer.text().size() >= pieceLength) {
            writer.push(buffer.text().toString());
            buffer.clear();
        }
    });
    writer.push(rest.append(kLineEnd));
    return writer.finish() ? QString() : device.errorString();
}

EncodeResult documentFileBytes(const QString &document, const QString &charset)
{
    const DocumentCharset target(charset);
    if (!target.isValid())
        return {false, {}, target.unknownText()};
    EncodeResult result{true, target.byteOrderMark(), {}};
    result.bytes.reserve(document.size() + document.size() / 8);
    target.appendDocument(document, result.bytes);
    target.appendDocument(kLineEnd, result.bytes);
    return result;
}

QString saveDocument(const QString &path, const QString &document, const QString &charset)
{
    const EncodeResult encoded = documentFileBytes(document, charset);
    if (!encoded.ok)
        return encoded.errorString;
    QString reason;
    if (!writeFileAtomically(path, encoded.bytes, std::nullopt, &reason))
        return saveFailure(path, reason);
    return {};
}

QString saveDocument(const QString &path, const xls::SheetTable &table, const Settings &settings)
{
    QString reason;
    const auto write = [&](QIODevice &device) { return writeDocumentFile(device, table, settings); };
    if (!writeFileAtomically(path, write, std::nullopt, &reason))
        return saveFailure(path, reason);
    return {};
}

} // namespace tessaly
