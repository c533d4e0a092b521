#include "core/document/XmlDocument.h"

#include "core/document/DocumentLength.h"
#include "core/files/AtomicFile.h"
#include "core/files/FileError.h"
#include "core/document/XmlName.h"

#include <array>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

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

    // A tag name from a setting: a blank one falls back to its default, surrounding spaces go (a
    // parser reads "<ROW >" as ROW), an invalid one is mapped.
    QString fromSetting(const QString &setting, const QString &defaultName) const
    {
        return map(toXmlName(trimSpaces(restoreBlankName(setting, defaultName))));
    }

private:
    DocumentCharset m_charset;
};

// Writes bytes through a raw pointer: a document is millions of small pieces, and QByteArray's
// own append checks sharing and capacity for each. The array's size is the capacity; every write
// first makes room for exactly the bytes it writes.
class ByteWriter {
public:
    ByteWriter(QByteArray &out, const DocumentCharset &charset)
        : m_out(out)
        , m_charset(charset)
        , m_plain(charset.plainAsciiInText())
        , m_data(out.data())
    {
    }

    void put(QByteArrayView bytes)
    {
        std::memcpy(room(bytes.size()), bytes.data(), bytes.size());
        m_size += bytes.size();
    }

    // Cell text: characters copied as they are byte by byte, up to the first one that needs more
    // (a markup character, a non-ASCII one); the rest of the cell takes the general way.
    void putText(QStringView text)
    {
        char *const at = room(text.size()); // one byte per character copied
        qsizetype copied = 0;
        for (; copied < text.size(); ++copied) {
            const char16_t c = text[copied].unicode();
            if (c >= 0x80 || !m_plain[c])
                break;
            at[copied] = char(c);
        }
        m_size += copied;
        if (copied < text.size()) {
            m_scratch.resize(0);
            m_charset.appendEscapedText(text.sliced(copied), m_scratch);
            put(m_scratch);
        }
    }

    QByteArray &finish()
    {
        m_out.resize(m_size);
        return m_out;
    }

    qsizetype size() const { return m_size; }

    // Hands over the bytes composed so far and goes on in `spare` (an empty buffer to reuse).
    QByteArray take(QByteArray spare)
    {
        m_out.resize(m_size);
        m_size = 0;
        QByteArray taken = std::exchange(m_out, std::move(spare));
        m_data = m_out.data();
        return taken;
    }

private:
    // Where the next `more` bytes go, with room made for them.
    char *room(qsizetype more)
    {
        if (m_out.size() - m_size < more) {
            m_out.resize(std::max(m_size + more, m_out.size() + m_out.size() / 2));
            m_data = m_out.data();
        }
        return m_data + m_size;
    }

    QByteArray &m_out; // its size is the capacity; m_size bytes are composed
    const DocumentCharset &m_charset;
    const std::array<bool, 128> m_plain;
    QByteArray m_scratch;
    qsizetype m_size = 0;
    char *m_data; // m_out.data(), kept while m_out keeps its size
};

// Composes the document as bytes in `output` into `out`: the declaration and the root's start tag
// when made, the records of each table given (the whole sheet's, or its bands in order), then the
// root's end tag. `recordDone(writer)` is called after each record, so that a caller may hand the
// bytes composed so far on in pieces, each ending at a line end. The tags are encoded once; cell
// text goes straight from the table into the bytes.
class DocumentComposer {
public:
    DocumentComposer(const workbook::SheetTable &headings, const Settings &settings, const DocumentCharset &output,
                     QByteArray &out)
        : m_output(output)
        , m_writer(out, output)
    {
        const TagNames names(settings.charset);
        const QString rowset = names.fromSetting(settings.rowset, Settings{}.rowset);
        const QString row = names.fromSetting(settings.row, Settings{}.row);
        const QByteArray rowStart = encoded(u'<' + row + QStringLiteral(">\r\n"));
        const QByteArray rowEnd = encoded(QStringLiteral("</") + row + QStringLiteral(">\r\n"));
        m_rowsetEnd = encoded(QStringLiteral("</") + rowset + QStringLiteral(">\r\n"));
        // A record is its start and each value followed by the markup up to the next value: one
        // copy of markup per cell.
        m_recordStart = rowStart;
        for (qsizetype column = 0; column < headings.columnCount(); ++column) {
            const QString name = names.map(columnTagName(headings, column));
            const QByteArray startTag = encoded(u'<' + name + u'>');
            (column == 0 ? m_recordStart : m_afterValue.back()) += startTag;
            m_afterValue.push_back(encoded(QStringLiteral("</") + name + QStringLiteral(">\r\n")));
        }
        (m_afterValue.empty() ? m_recordStart : m_afterValue.back()) += rowEnd;
        m_writer.put(output.byteOrderMark()
                     + encoded(QStringLiteral("<?xml version=\"1.0\" encoding=\"") + trimSpaces(settings.charset)
                               + QStringLiteral("\"?>\r\n<") + rowset + QStringLiteral(">\r\n")));
    }

    template <typename RecordDone> void addRecords(const workbook::SheetTable &table, RecordDone recordDone)
    {
        m_values.resize(m_afterValue.size());
        for (qsizetype record = 0; record < table.recordCount(); ++record) {
            table.recordValues(record, m_values);
            m_writer.put(m_recordStart);
            for (std::size_t column = 0; column < m_values.size(); ++column) {
                m_writer.putText(m_values[column]);
                m_writer.put(m_afterValue[column]);
            }
            recordDone(m_writer);
        }
    }

    void finish()
    {
        m_writer.put(m_rowsetEnd);
        m_writer.finish();
    }

private:
    QByteArray encoded(const QString &markup) const
    {
        QByteArray bytes;
        m_output.appendDocument(markup, bytes);
        return bytes;
    }

    const DocumentCharset &m_output;
    ByteWriter m_writer;
    QByteArray m_recordStart; // the row's start tag and the first column's
    std::vector<QByteArray> m_afterValue; // a column's end tag and the next one's start tag, or the row's end tag
    QByteArray m_rowsetEnd;
    std::vector<QStringView> m_values; // of the record being composed
};

// Writes the pieces of a document, and hands each piece's buffer back for reuse: two buffers serve
// the whole document. On a second thread while the next piece is composed, unless the caller
// already has a thread reading for it: two busy threads are what two cores take best (three made
// a 65,536-row conversion a third slower).
class PieceWriter {
public:
    PieceWriter(QIODevice &device, bool onThread)
        : m_device(device)
    {
        if (onThread)
            m_thread = std::thread([this] { run(); });
    }

    ~PieceWriter() { finish(); }

    // Waits for the previous piece to be written; returns its buffer, emptied.
    QByteArray write(QByteArray piece)
    {
        if (!m_thread.joinable()) {
            m_written = m_written && m_device.write(piece) == piece.size();
            piece.resize(0);
            return piece;
        }
        std::unique_lock lock(m_mutex);
        m_changed.wait(lock, [this] { return !m_pending; });
        QByteArray spare = std::move(m_piece);
        spare.resize(0);
        m_piece = std::move(piece);
        m_pending = true;
        m_changed.notify_all();
        return spare;
    }

    // True when every piece was written.
    bool finish()
    {
        {
            const std::lock_guard lock(m_mutex);
            m_closed = true;
        }
        m_changed.notify_all();
        if (m_thread.joinable())
            m_thread.join();
        return m_written;
    }

private:
    void run()
    {
        std::unique_lock lock(m_mutex);
        for (;;) {
            m_changed.wait(lock, [this] { return m_pending || m_closed; });
            if (!m_pending)
                return;
            lock.unlock();
            const bool written = m_device.write(m_piece) == m_piece.size();
            lock.lock();
            m_written = m_written && written;
            m_pending = false;
            m_changed.notify_all();
        }
    }

    QIODevice &m_device;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    QByteArray m_piece; // the piece being written, then the spare buffer
    bool m_pending = false;
    bool m_closed = false;
    bool m_written = true;
    std::thread m_thread;
};

// A failed save, told with the file's name.
Outcome savedTo(const QString &path, Outcome written)
{
    if (!written)
        return Failure{QStringLiteral("XML 文書を %1 に保存できませんでした。\n%2").arg(path, written.failure().message)};
    return written;
}

} // namespace

QByteArray buildUtf8Document(const workbook::SheetTable &table, const Settings &settings,
                             const std::function<void(qsizetype)> &recordsDone)
{
    QByteArray out;
    qsizetype records = 0;
    const DocumentCharset utf8(QStringLiteral("UTF-8"));
    DocumentComposer composer(table, settings, utf8, out);
    composer.addRecords(table, [&](ByteWriter &) {
        if (recordsDone)
            recordsDone(++records);
    });
    composer.finish();
    return out;
}

QString buildDocument(const workbook::SheetTable &table, const Settings &settings)
{
    return QString::fromUtf8(buildUtf8Document(table, settings));
}

QString columnTagName(const workbook::SheetTable &table, qsizetype column)
{
    const QStringView heading = table.heading(column);
    return heading.isEmpty() ? QStringLiteral("F%1").arg(column + 1) : toXmlName(heading);
}

Outcome checkDocumentLength(const workbook::SheetTable &table)
{
    return checkDocumentLength(table, table.recordCount(), table.textLength());
}

Outcome checkDocumentLength(const workbook::SheetTable &headings, qsizetype recordCount, quint64 textLength)
{
    quint64 recordMarkup = 0; // the tags of every column, beside the text
    for (qsizetype column = 0; column < headings.columnCount(); ++column)
        recordMarkup += 2 * quint64(columnTagName(headings, column).size()) + 7;
    if (quint64(recordCount) * recordMarkup + textLength > kMaxDocumentLength)
        return Failure{documentTooLarge()};
    return {};
}

Result<std::unique_ptr<workbook::SheetBands>> readSheetForDocument(const workbook::Workbook &book, qsizetype sheet)
{
    Result<std::unique_ptr<workbook::SheetBands>> bands = book.readSheetInBands(sheet);
    if (!bands)
        return bands;
    const workbook::SheetBands &read = **bands;
    if (checkDocumentLength(read.band(), read.recordCount(), read.textLength()))
        return bands;
    if (read.textLengthExact())
        return Failure{documentTooLarge()};
    // The bands' length counted every number at its longest: the table tells exactly.
    Result<workbook::SheetTable> table = book.readSheet(sheet);
    if (!table)
        return table.failure();
    if (const Outcome fits = checkDocumentLength(*table); !fits)
        return fits.failure();
    return workbook::SheetBands::wholeTable(std::move(*table));
}

Outcome writeDocumentFile(QIODevice &device, workbook::SheetBands &bands, const Settings &settings, qsizetype pieceLength)
{
    const DocumentCharset charset(settings.charset);
    if (!charset.isValid())
        return Failure{charset.unknownText()};
    PieceWriter pieces(device, !bands.readsAhead());
    QByteArray buffer;
    QByteArray spare;
    DocumentComposer composer(bands.band(), settings, charset, buffer);
    for (;;) {
        composer.addRecords(bands.band(), [&](ByteWriter &writer) {
            if (writer.size() >= pieceLength)
                spare = pieces.write(writer.take(std::move(spare)));
        });
        const Result<bool> more = bands.nextBand();
        if (!more)
            return more.failure();
        if (!*more)
            break;
    }
    composer.finish();
    charset.appendDocument(kLineEnd, buffer);
    pieces.write(std::move(buffer));
    if (!pieces.finish())
        return Failure{describeFileError(device)};
    return {};
}

void composeDocumentInPieces(const workbook::SheetTable &table, const Settings &settings, const DocumentCharset &charset,
                             const std::function<void(QByteArrayView)> &take, qsizetype pieceLength)
{
    QByteArray buffer;
    QByteArray piece;
    DocumentComposer composer(table, settings, charset, buffer);
    composer.addRecords(table, [&](ByteWriter &writer) {
        if (writer.size() >= pieceLength) {
            piece.resize(0);
            piece = writer.take(std::move(piece));
            take(piece);
        }
    });
    composer.finish();
    take(buffer);
}

qsizetype documentPieceEnd(QByteArrayView document, qsizetype start, qsizetype pieceLength)
{
    const qsizetype lineEnd = document.indexOf('\n', std::min(start + pieceLength, document.size()) - 1);
    return lineEnd < 0 ? document.size() : lineEnd + 1;
}

void recodeUtf8DocumentInPieces(QByteArrayView utf8Document, const DocumentCharset &charset,
                                const std::function<void(QByteArrayView)> &take, qsizetype pieceLength)
{
    QByteArray piece;
    for (qsizetype start = 0; start < utf8Document.size();) {
        const qsizetype end = documentPieceEnd(utf8Document, start, pieceLength);
        piece.resize(0);
        charset.appendDocument(QString::fromUtf8(utf8Document.sliced(start, end - start)), piece);
        take(piece);
        start = end;
    }
}

Result<QByteArray> documentFileBytes(const QString &document, const QString &charset)
{
    Result<QByteArray> bytes = encodeDocument(document + kLineEnd.toString(), charset);
    if (bytes)
        bytes->prepend(DocumentCharset(charset).byteOrderMark());
    return bytes;
}

Outcome writeUtf8Document(QIODevice &device, QByteArrayView utf8Document, const DocumentCharset &charset)
{
    bool written = true;
    const auto put = [&](QByteArrayView bytes) { written = written && device.write(bytes.data(), bytes.size()) == bytes.size(); };
    put(charset.byteOrderMark());
    recodeUtf8DocumentInPieces(utf8Document, charset, put);
    QByteArray lineEnd;
    charset.appendDocument(kLineEnd, lineEnd);
    put(lineEnd);
    if (!written)
        return Failure{describeFileError(device)};
    return {};
}

Outcome saveUtf8Document(const QString &path, QByteArrayView utf8Document, const QString &charset)
{
    const DocumentCharset target(charset);
    if (!target.isValid())
        return Failure{target.unknownText()};
    const auto write = [&](QIODevice &device) { return writeUtf8Document(device, utf8Document, target); };
    return savedTo(path, writeFileAtomically(path, write, std::nullopt));
}

Outcome saveDocument(const QString &path, workbook::SheetBands &bands, const Settings &settings)
{
    const auto write = [&](QIODevice &device) { return writeDocumentFile(device, bands, settings); };
    return savedTo(path, writeFileAtomically(path, write, std::nullopt));
}

} // namespace tessaly
