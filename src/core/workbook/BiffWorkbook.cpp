#include "core/workbook/BiffWorkbook.h"

#include "core/workbook/BiffStream.h"
#include "core/workbook/CellText.h"
#include "core/workbook/HugePages.h"
#include "core/workbook/OleStorage.h"

#include <algorithm>

namespace tessaly::xls {
namespace {

constexpr quint16 kLastColumn = 255;

QString corrupt(const QString &detail)
{
    return QStringLiteral("ファイルが壊れています（%1）").arg(detail);
}

QString oldBiffUnsupported()
{
    return QStringLiteral("BIFF2〜4 形式（Excel 4.0 以前）のファイルには対応していません");
}

Bytes bytesOf(const QByteArray &data)
{
    return Bytes(reinterpret_cast<const uchar *>(data.constData()), std::size_t(data.size()));
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
        : book_(book), decoder_(book.codePage_), builder_(book.sharedText_), ownText_(builder_.ownText())
    {
    }

    std::optional<SheetTable> read(qsizetype index, QString *errorString)
    {
        const Bytes stream = bytesOf(book_.stream_);
        RecordReader reader(stream, book_.sheetOffsets_[std::size_t(index)]);
        Record record;
        if (!reader.next(record) || record.type != RecordType::Bof) {
            *errorString = corrupt(QStringLiteral("シート「%1」の開始位置が不正です").arg(book_.sheetNames_[index]));
            return std::nullopt;
        }
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
        return builder_.build(errorString);
    }

private:
    // Bytes from the sheet's BOF to the next sheet's, or to the end of the stream.
    std::size_t sheetSize(qsizetype index) const
    {
        const quint32 start = book_.sheetOffsets_[std::size_t(index)];
        quint32 end = quint32(book_.stream_.size());
        for (const quint32 offset : book_.sheetOffsets_) {
            if (offset > start && offset < end)
                end = offset;
        }
        return end > start ? end - start : 0;
    }

    // Growing the cell list and text buffer record by record would copy them over and over. A cell
    // record takes at least 6 bytes (in a MULRK) and usually 10 to 18; its text is mostly shorter.
    // Reserved pages that stay unused cost no memory.
    void reserveFor(std::size_t sheetBytes)
    {
        builder_.reserve(sheetBytes / 12, qsizetype(sheetBytes / 2));
    }

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
                const qsizetype start = ownText_.size();
                appendString(clippedBytes(data, 6, data.size()), nullptr);
                addOwnText(row, column, start);
            }
            break;
        case RecordType::LabelSst:
            if (data.size() >= 10 && readU32(data, 6) < book_.sharedStrings_.size()) {
                const auto [offset, length] = book_.sharedStrings_[readU32(data, 6)];
                addCell(row, column, offset, length, true);
            }
            break;
        case RecordType::BoolErr:
            if (data.size() >= 8) {
                const qsizetype start = ownText_.size();
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
            if (pendingString_) {
                pendingString_ = false;
                const qsizetype start = ownText_.size();
                appendString(data, &reader);
                addOwnText(pendingRow_, pendingColumn_, start);
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
        const qsizetype start = ownText_.size();
        switch (readU8(data, 6)) {
        case 0:
            pendingString_ = true;
            pendingRow_ = row;
            pendingColumn_ = column;
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
        if (book_.biff8_) {
            text_.reset(data);
            if (reader)
                text_.appendContinues(*reader);
            const quint16 length = text_.u16();
            text_.appendUnicodeString(ownText_, length);
        } else {
            decoder_.append(ownText_, clippedBytes(data, 2, readU16(data, 0)));
        }
    }

    void appendBoolOrError(quint8 value, bool isError)
    {
        if (isError)
            ownText_.append(errorText(value));
        else
            ownText_.append(value ? QLatin1StringView("TRUE") : QLatin1StringView("FALSE"));
    }

    void addNumber(quint16 row, quint16 column, quint16 xf, double value)
    {
        const qsizetype start = ownText_.size();
        if (xf < book_.xfIsDate_.size() && book_.xfIsDate_[xf])
            appendDateTime(ownText_, value, book_.uses1904_);
        else
            appendNumber(ownText_, value);
        addOwnText(row, column, start);
    }

    void addOwnText(quint16 row, quint16 column, qsizetype start)
    {
        addCell(row, column, quint32(start), quint32(ownText_.size() - start), false);
    }

    // Columns past IV, the last one in BIFF5/8 sheets, only come from damaged records.
    void addCell(quint16 row, quint16 column, quint32 offset, quint32 length, bool shared)
    {
        pendingString_ = false;
        if (column > kLastColumn)
            return;
        if (shared)
            builder_.addSharedText(row, column, offset, length);
        else
            builder_.addText(row, column, offset, length);
    }

    const BiffWorkbook &book_;
    CodePageDecoder decoder_;
    ContinuedReader text_;
    SheetTableBuilder builder_;
    QString &ownText_;
    bool pendingString_ = false;
    quint16 pendingRow_ = 0;
    quint16 pendingColumn_ = 0;
};

std::unique_ptr<Workbook> BiffWorkbook::fromStream(QByteArray stream, QString *errorString)
{
    std::unique_ptr<BiffWorkbook> book(new BiffWorkbook);
    book->stream_ = std::move(stream);
    if (!book->readGlobals(errorString))
        return nullptr;
    return book;
}

std::optional<SheetTable> BiffWorkbook::readWorksheet(qsizetype index, QString *errorString) const
{
    return SheetReader(*this).read(index, errorString);
}

bool BiffWorkbook::readGlobals(QString *errorString)
{
    RecordReader reader(bytesOf(stream_), 0);
    Record record;
    if (!reader.next(record)) {
        *errorString = corrupt(QStringLiteral("先頭のレコードが途中で切れています"));
        return false;
    }
    const quint16 version = readU16(record.data, 0);
    if (isOldBofType(record.type) || (record.type == RecordType::Bof && version < 0x0500)) {
        *errorString = oldBiffUnsupported();
        return false;
    }
    if (record.type != RecordType::Bof) {
        *errorString = corrupt(QStringLiteral("ブックの先頭に BOF レコードがありません"));
        return false;
    }
    biff8_ = version >= 0x0600;

    // BIFF5 texts are decoded once the code page is known, whatever the record order.
    std::vector<Bytes> biff5SheetNames;
    std::vector<std::pair<quint16, Bytes>> biff5Formats;
    DateFormats dateFormats;
    std::vector<quint16> xfFormats;
    ContinuedReader text;
    bool ended = false;
    while (!ended && reader.next(record)) {
        const Bytes data = record.data;
        switch (record.type) {
        case RecordType::FilePass:
            *errorString = QStringLiteral("パスワードで保護されたブックは読めません");
            return false;
        case RecordType::CodePage:
            codePage_ = readU16(data, 0);
            break;
        case RecordType::DateMode:
            uses1904_ = readU16(data, 0) != 0;
            break;
        case RecordType::BoundSheet:
            // Only worksheets: charts, macro sheets and modules present no table.
            if (data.size() < 7 || readU8(data, 5) != 0)
                break;
            sheetOffsets_.push_back(readU32(data, 0));
            if (biff8_) {
                QString name;
                text.reset(data.subspan(6));
                const quint8 length = text.u8();
                text.appendUnicodeString(name, length);
                sheetNames_.append(name);
            } else {
                biff5SheetNames.push_back(clippedBytes(data, 7, readU8(data, 6)));
            }
            break;
        case RecordType::Format:
            if (biff8_) {
                QString code;
                text.reset(clippedBytes(data, 2, data.size()));
                const quint16 length = text.u16();
                text.appendUnicodeString(code, length);
                dateFormats.define(readU16(data, 0), code);
            } else {
                biff5Formats.emplace_back(readU16(data, 0), clippedBytes(data, 3, readU8(data, 2)));
            }
            break;
        case RecordType::Xf:
            xfFormats.push_back(readU16(data, 2));
            break;
        case RecordType::Sst:
            if (biff8_) {
                text.reset(data);
                text.appendContinues(reader);
                readSharedStrings(text);
            }
            break;
        case RecordType::Eof:
            ended = true;
            break;
        default:
            break;
        }
    }

    CodePageDecoder decoder(codePage_);
    for (const Bytes name : biff5SheetNames)
        sheetNames_.append(decoder.decode(name));
    for (const auto &[index, code] : biff5Formats)
        dateFormats.define(index, decoder.decode(code));
    xfIsDate_.reserve(xfFormats.size());
    for (const quint16 format : xfFormats)
        xfIsDate_.push_back(dateFormats.isDate(format));
    return true;
}

void BiffWorkbook::readSharedStrings(ContinuedReader &text)
{
    text.u32(); // total number of references
    const quint32 uniqueCount = text.u32();
    // The declared count may be anything: reserve no more than the records hold, a string taking
    // at least three bytes and a character at least one.
    sharedStrings_.reserve(std::min<std::size_t>(uniqueCount, text.totalSize() / 3));
    sharedText_.reserve(qsizetype(text.totalSize()));
    preferHugePages(sharedText_.constData(), std::size_t(sharedText_.capacity()) * sizeof(QChar));
    for (quint32 i = 0; i < uniqueCount; ++i) {
        const quint16 length = text.u16();
        if (text.failed())
            break;
        const qsizetype start = sharedText_.size();
        text.appendUnicodeString(sharedText_, length);
        sharedStrings_.emplace_back(quint32(start), quint32(sharedText_.size() - start));
        if (text.failed())
            break;
    }
}

} // namespace tessaly::xls
