#include "core/workbook/BiffWorkbook.h"
#include "core/workbook/ReadFailures.h"

#include "core/workbook/BiffStream.h"
#include "core/workbook/CellText.h"
#include "core/workbook/HugePages.h"
#include "core/workbook/OleStorage.h"

#include <algorithm>

namespace tessaly::workbook {
namespace {

constexpr quint16 kLastColumn = 255;

QString oldBiffUnsupported()
{
    return QStringLiteral("BIFF2〜4 形式（Excel 4.0 以前）のファイルには対応していません");
}

bool isOldBofType(quint16 type)
{
    return type == 0x0009 || type == 0x0209 || type == 0x0409;
}

// length bytes from at, cut short where the record ends.
Bytes clippedBytes(Bytes data, std::size_t at, std::size_t length)
{
    if (at >= data.size())
        return {};
    return data.subspan(at, std::min(length, data.size() - at));
}

} // namespace

// Collects one worksheet's cells and lays them out as a table.
class SheetReader {
public:
    explicit SheetReader(const BiffWorkbook &book)
        : m_book(book)
        , m_decoder(book.m_codePage)
        , m_builder(book.m_sharedText)
        , m_ownText(m_builder.ownText())
    {
    }

    Result<SheetTable> read(qsizetype index)
    {
        const Bytes stream = m_book.m_stream.bytes();
        RecordReader reader(stream, m_book.m_sheetOffsets[std::size_t(index)]);
        Record record;
        if (!reader.next(record) || record.type != RecordType::Bof)
            return Failure{corruptFile(QStringLiteral("シート「%1」の開始位置が不正です").arg(m_book.m_sheetNames[index]))};
        reserveFor(sheetSize(index));
        // Embedded charts nest their own BOF…EOF inside the worksheet.
        int depth = 1;
        while (depth > 0 && reader.next(record)) {
            if (record.type == RecordType::Bof)
                ++depth;
            else if (record.type == RecordType::Eof)
                --depth;
            else if (depth == 1)
                handle(record, reader);
        }
        return m_builder.build();
    }

private:
    // Bytes from the sheet's BOF to the next sheet's, or to the end of the stream.
    std::size_t sheetSize(qsizetype index) const
    {
        const quint32 start = m_book.m_sheetOffsets[std::size_t(index)];
        quint32 end = quint32(m_book.m_stream.bytes().size());
        for (const quint32 offset : m_book.m_sheetOffsets) {
            if (offset > start && offset < end)
                end = offset;
        }
        return end > start ? end - start : 0;
    }

    // Growing the cell list and text buffer record by record would copy them over and over. A cell
    // record takes at least 6 bytes (in a MULRK) and usually 10 to 18; its text is mostly shorter.
    // Reserved pages that stay unused cost no memory.
    void reserveFor(std::size_t sheetBytes) { m_builder.reserve(sheetBytes / 12, qsizetype(sheetBytes / 2)); }

    void handle(const Record &record, RecordReader &reader)
    {
        const Bytes data = record.data;
        const quint16 row = readU16(data, 0);
        const quint16 column = readU16(data, 2);
        switch (record.type) {
        case RecordType::Number:
            if (data.size() >= 14)
                addNumber(row, column, readU16(data, 4), readF64(data, 6));
            break;
        case RecordType::Rk:
            if (data.size() >= 10)
                addNumber(row, column, readU16(data, 4), decodeRk(readU32(data, 6)));
            break;
        case RecordType::MulRk:
            for (std::size_t at = 4; at + 6 <= data.size() && column + (at - 4) / 6 <= 0xFFFF; at += 6)
                addNumber(row, quint16(column + (at - 4) / 6), readU16(data, at), decodeRk(readU32(data, at + 2)));
            break;
        case RecordType::Label:
        case RecordType::RString:
            if (data.size() >= 8) {
                const qsizetype start = m_ownText.size();
                appendString(clippedBytes(data, 6, data.size()), nullptr);
                addOwnText(row, column, start);
            }
            break;
        case RecordType::LabelSst:
            if (data.size() >= 10 && readU32(data, 6) < m_book.m_sharedStrings.size()) {
                const auto [offset, length] = m_book.m_sharedStrings[readU32(data, 6)];
                addCell(row, column, offset, length, true);
            }
            break;
        case RecordType::BoolErr:
            if (data.size() >= 8) {
                const qsizetype start = m_ownText.size();
                appendBoolOrError(readU8(data, 6), readU8(data, 7) != 0);
                addOwnText(row, column, start);
            }
            break;
        case RecordType::Formula:
        case RecordType::Formula3:
        case RecordType::Formula4:
            if (data.size() >= 14)
                addFormulaResult(row, column, data);
            break;
        case RecordType::String:
            if (m_pendingString) {
                m_pendingString = false;
                const qsizetype start = m_ownText.size();
                appendString(data, &reader);
                addOwnText(m_pendingRow, m_pendingColumn, start);
            }
            break;
        default:
            break;
        }
    }

    // A formula's cached result; a text result follows in a STRING record.
    void addFormulaResult(quint16 row, quint16 column, Bytes data)
    {
        if (readU16(data, 12) != 0xFFFF) {
            addNumber(row, column, readU16(data, 4), readF64(data, 6));
            return;
        }
        const qsizetype start = m_ownText.size();
        switch (readU8(data, 6)) {
        case 0:
            m_pendingString = true;
            m_pendingRow = row;
            m_pendingColumn = column;
            return;
        case 1:
            appendBoolOrError(readU8(data, 8), false);
            break;
        case 2:
            appendBoolOrError(readU8(data, 8), true);
            break;
        default: // an empty text result
            break;
        }
        addOwnText(row, column, start);
    }

    // A string with a 16-bit length; BIFF8 may continue it in CONTINUE records that follow in reader.
    void appendString(Bytes data, RecordReader *reader)
    {
        if (m_book.m_biff8) {
            m_text.reset(data);
            if (reader)
                m_text.appendContinues(*reader);
            const quint16 length = m_text.u16();
            m_text.appendUnicodeString(m_ownText, length);
        } else {
            m_decoder.append(m_ownText, clippedBytes(data, 2, readU16(data, 0)));
        }
    }

    void appendBoolOrError(quint8 value, bool isError)
    {
        if (isError)
            m_ownText.append(errorText(value));
        else
            m_ownText.append(value ? QLatin1StringView("TRUE") : QLatin1StringView("FALSE"));
    }

    void addNumber(quint16 row, quint16 column, quint16 xf, double value)
    {
        const qsizetype start = m_ownText.size();
        if (xf < m_book.m_xfIsDate.size() && m_book.m_xfIsDate[xf])
            appendDateTime(m_ownText, value, m_book.m_uses1904);
        else
            appendNumber(m_ownText, value);
        addOwnText(row, column, start);
    }

    void addOwnText(quint16 row, quint16 column, qsizetype start)
    {
        addCell(row, column, quint32(start), quint32(m_ownText.size() - start), false);
    }

    // Columns past IV, the last one in BIFF5/8 sheets, only come from damaged records.
    void addCell(quint16 row, quint16 column, quint32 offset, quint32 length, bool shared)
    {
        m_pendingString = false;
        if (column > kLastColumn)
            return;
        if (shared)
            m_builder.addSharedText(row, column, offset, length);
        else
            m_builder.addText(row, column, offset, length);
    }

    const BiffWorkbook &m_book;
    CodePageDecoder m_decoder;
    ContinuedReader m_text;
    SheetTableBuilder m_builder;
    QString &m_ownText;
    bool m_pendingString = false;
    quint16 m_pendingRow = 0;
    quint16 m_pendingColumn = 0;
};

Result<std::unique_ptr<Workbook>> BiffWorkbook::fromStream(WorkbookStream stream)
{
    std::unique_ptr<BiffWorkbook> book(new BiffWorkbook(std::move(stream)));
    if (const Outcome read = book->readGlobals(); !read)
        return read.failure();
    return std::unique_ptr<Workbook>(std::move(book));
}

Result<SheetTable> BiffWorkbook::readWorksheet(qsizetype index) const
{
    return SheetReader(*this).read(index);
}

// What the globals substream leaves until its end: BIFF5 texts are decoded once the code page is
// known, whatever the record order, and formats are known before the XF records are judged.
struct BiffWorkbook::PendingGlobals {
    std::vector<Bytes> biff5SheetNames;
    std::vector<std::pair<quint16, Bytes>> biff5Formats;
    DateFormats dateFormats;
    std::vector<quint16> xfFormats;
    ContinuedReader text;
};

Outcome BiffWorkbook::readGlobals()
{
    RecordReader reader(m_stream.bytes(), 0);
    if (const Outcome bof = readOpeningBof(reader); !bof)
        return bof;
    PendingGlobals pending;
    Record record;
    while (reader.next(record) && record.type != RecordType::Eof) {
        if (record.type == RecordType::FilePass)
            return Failure{QStringLiteral("パスワードで保護されたブックは読めません")};
        readGlobalRecord(record, reader, pending);
    }

    CodePageDecoder decoder(m_codePage);
    for (const Bytes name : pending.biff5SheetNames)
        m_sheetNames.append(decoder.decode(name));
    for (const auto &[index, code] : pending.biff5Formats)
        pending.dateFormats.define(index, decoder.decode(code));
    m_xfIsDate.reserve(pending.xfFormats.size());
    for (const quint16 format : pending.xfFormats)
        m_xfIsDate.push_back(pending.dateFormats.isDate(format));
    return {};
}

Outcome BiffWorkbook::readOpeningBof(RecordReader &reader)
{
    Record record;
    if (!reader.next(record))
        return Failure{corruptFile(QStringLiteral("先頭のレコードが途中で切れています"))};
    const quint16 version = readU16(record.data, 0);
    if (isOldBofType(record.type) || (record.type == RecordType::Bof && version < 0x0500))
        return Failure{oldBiffUnsupported()};
    if (record.type != RecordType::Bof)
        return Failure{corruptFile(QStringLiteral("ブックの先頭に BOF レコードがありません"))};
    m_biff8 = version >= 0x0600;
    return {};
}

void BiffWorkbook::readGlobalRecord(const Record &record, RecordReader &reader, PendingGlobals &pending)
{
    const Bytes data = record.data;
    ContinuedReader &text = pending.text;
    switch (record.type) {
    case RecordType::CodePage:
        m_codePage = readU16(data, 0);
        break;
    case RecordType::DateMode:
        m_uses1904 = readU16(data, 0) != 0;
        break;
    case RecordType::BoundSheet:
        // Only worksheets: charts, macro sheets and modules present no table.
        if (data.size() < 7 || readU8(data, 5) != 0)
            break;
        m_sheetOffsets.push_back(readU32(data, 0));
        if (m_biff8) {
            QString name;
            text.reset(data.subspan(6));
            const quint8 length = text.u8();
            text.appendUnicodeString(name, length);
            m_sheetNames.append(name);
        } else {
            pending.biff5SheetNames.push_back(clippedBytes(data, 7, readU8(data, 6)));
        }
        break;
    case RecordType::Format:
        if (m_biff8) {
            QString code;
            text.reset(clippedBytes(data, 2, data.size()));
            const quint16 length = text.u16();
            text.appendUnicodeString(code, length);
            pending.dateFormats.define(readU16(data, 0), code);
        } else {
            pending.biff5Formats.emplace_back(readU16(data, 0), clippedBytes(data, 3, readU8(data, 2)));
        }
        break;
    case RecordType::Xf:
        pending.xfFormats.push_back(readU16(data, 2));
        break;
    case RecordType::Sst:
        if (m_biff8) {
            text.reset(data);
            text.appendContinues(reader);
            readSharedStrings(text);
        }
        break;
    default:
        break;
    }
}

void BiffWorkbook::readSharedStrings(ContinuedReader &text)
{
    text.u32(); // total number of references
    const quint32 uniqueCount = text.u32();
    // The declared count may be anything: reserve no more than the records hold, a string taking
    // at least three bytes and a character at least one.
    m_sharedStrings.reserve(std::min<std::size_t>(uniqueCount, text.totalSize() / 3));
    m_sharedText.reserve(qsizetype(text.totalSize()));
    preferHugePages(m_sharedText.constData(), std::size_t(m_sharedText.capacity()) * sizeof(QChar));
    for (quint32 i = 0; i < uniqueCount; ++i) {
        const quint16 length = text.u16();
        if (text.failed())
            break;
        const qsizetype start = m_sharedText.size();
        text.appendUnicodeString(m_sharedText, length);
        m_sharedStrings.emplace_back(quint32(start), quint32(m_sharedText.size() - start));
        if (text.failed())
            break;
    }
}

} // namespace tessaly::workbook
