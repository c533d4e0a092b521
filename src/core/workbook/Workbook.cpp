#include "core/workbook/Workbook.h"

#include "core/files/FileError.h"
#include "core/document/XmlName.h"
#include "core/workbook/BiffStream.h"
#include "core/workbook/CellText.h"
#include "core/workbook/HugePages.h"
#include "core/workbook/OleStorage.h"

#include <QFile>
#include <QFileInfo>
#include <QHash>

#include <algorithm>

namespace tessaly::xls {
namespace {

// Larger files are refused rather than read into memory whole.
constexpr qint64 kMaxFileSize = qint64(1) << 30;
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

// Why a file that is not an OLE2 compound file cannot be read.
QString notAWorkbook(const QByteArray &file)
{
    if (file.startsWith("PK\x03\x04")) {
        if (file.contains("application/vnd.oasis.opendocument.spreadsheet"))
            return QStringLiteral("この形式のファイル（.ods）には対応していません");
        if (file.contains("xl/"))
            return QStringLiteral("この形式のファイル（.xlsx）には対応していません");
    }
    return QStringLiteral("Excel 97-2003 ブック（.xls）ではありません");
}

} // namespace

// Collects one worksheet's cells and lays them out as a table.
class SheetReader {
public:
    explicit SheetReader(const Workbook &book)
        : book_(book), decoder_(book.codePage_)
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
        return build();
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
        cells_.reserve(sheetBytes / 12);
        preferHugePages(cells_.data(), cells_.capacity() * sizeof(Cell));
        ownText_.reserve(qsizetype(sheetBytes / 2));
        preferHugePages(ownText_.constData(), std::size_t(ownText_.capacity()) * sizeof(QChar));
    }

    using Cell = SheetTable::Entry;

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

    // Only cells with text count: blank and merely formatted cells never become part of the table.
    // Columns past IV, the last one in BIFF5/8 sheets, only come from damaged records.
    void addCell(quint16 row, quint16 column, quint32 offset, quint32 length, bool shared)
    {
        pendingString_ = false;
        if (length > 0 && column <= kLastColumn)
            cells_.push_back({shared ? offset | SheetTable::kSharedText : offset, length, row, column});
    }

    SheetTable build()
    {
        SheetTable table;
        table.ownText_ = std::move(ownText_);
        table.sharedText_ = book_.sharedText_;
        if (cells_.empty())
            return table;
        const auto byPosition = [](const Cell &a, const Cell &b) {
            return a.row != b.row ? a.row < b.row : a.column < b.column;
        };
        if (!std::is_sorted(cells_.begin(), cells_.end(), byPosition))
            std::stable_sort(cells_.begin(), cells_.end(), byPosition);
        // When a cell is written twice the later record wins, as in Excel.
        auto last = cells_.begin();
        for (auto it = cells_.begin() + 1; it != cells_.end(); ++it) {
            if (byPosition(*last, *it))
                ++last;
            *last = *it;
        }
        cells_.erase(last + 1, cells_.end());

        const quint16 firstRow = cells_.front().row;
        const auto [minColumn, maxColumn] = std::minmax_element(
            cells_.begin(), cells_.end(), [](const Cell &a, const Cell &b) { return a.column < b.column; });
        const quint16 firstColumn = minColumn->column;
        const int columnCount = maxColumn->column - firstColumn + 1;

        auto cell = cells_.cbegin();
        table.columnNames_.reserve(columnCount);
        for (int column = 0; column < columnCount; ++column) {
            QStringView heading;
            if (cell != cells_.cend() && cell->row == firstRow && cell->column == firstColumn + column)
                heading = table.textOf(*cell++);
            table.columnNames_.append(heading.isEmpty() ? QStringLiteral("F%1").arg(column + 1)
                                                        : toXmlName(heading));
        }

        // The cells become the table's entries in place: no copy of a sheet's worth of cells.
        table.recordStarts_.assign(1, quint32(cell - cells_.cbegin()));
        table.recordStarts_.reserve(std::size_t(cells_.back().row - firstRow + 1));
        for (int row = firstRow + 1; row <= cells_.back().row; ++row) {
            while (cell != cells_.cend() && cell->row == row)
                ++cell;
            table.recordStarts_.push_back(quint32(cell - cells_.cbegin()));
        }
        for (Cell &entry : cells_)
            entry.column = quint16(entry.column - firstColumn);
        table.entries_ = std::move(cells_);
        return table;
    }

    const Workbook &book_;
    CodePageDecoder decoder_;
    ContinuedReader text_;
    QString ownText_;
    std::vector<Cell> cells_;
    bool pendingString_ = false;
    quint16 pendingRow_ = 0;
    quint16 pendingColumn_ = 0;
};

QStringView SheetTable::columnName(qsizetype column) const
{
    return column >= 0 && column < columnCount() ? QStringView(columnNames_[column]) : QStringView();
}

QStringView SheetTable::value(qsizetype record, qsizetype column) const
{
    if (record < 0 || record >= recordCount() || column < 0 || column >= columnCount())
        return {};
    const auto begin = entries_.begin() + recordStarts_[std::size_t(record)];
    const auto end = entries_.begin() + recordStarts_[std::size_t(record) + 1];
    auto entry = begin + column;
    if (end - begin != columnCount()) {
        entry = std::lower_bound(begin, end, column, [](const Entry &e, qsizetype c) { return e.column < c; });
        if (entry == end || entry->column != column)
            return {};
    }
    return textOf(*entry);
}

QStringView SheetTable::textOf(const Entry &entry) const
{
    if (entry.offset & kSharedText)
        return QStringView(sharedText_).mid(entry.offset & ~kSharedText, entry.length);
    return QStringView(ownText_).mid(entry.offset, entry.length);
}

Workbook::~Workbook() = default;

std::unique_ptr<Workbook> Workbook::open(const QString &path, QString *errorString)
{
    const QFileInfo info(path);
    if (!info.exists()) {
        *errorString = QStringLiteral("ファイルが見つかりません: %1").arg(path);
        return nullptr;
    }
    if (info.isDir()) {
        *errorString = QStringLiteral("ファイルではなくフォルダーです: %1").arg(path);
        return nullptr;
    }
    if (!info.isFile()) { // a device or pipe could be endless
        *errorString = QStringLiteral("通常のファイルではありません: %1").arg(path);
        return nullptr;
    }
    if (info.size() > kMaxFileSize) {
        *errorString = QStringLiteral("ファイルが大きすぎます（%1 バイト）: %2").arg(info.size()).arg(path);
        return nullptr;
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *errorString = QStringLiteral("ファイルを開けません: %1（%2）").arg(path, describeFileError(file));
        return nullptr;
    }
    // Read, not mapped: a mapped file that shrinks while it is parsed would crash the program.
    QByteArray bytes(info.size(), Qt::Uninitialized);
    preferHugePages(bytes.constData(), std::size_t(bytes.size()));
    if (file.read(bytes.data(), bytes.size()) != bytes.size()) {
        *errorString = QStringLiteral("ファイルを読めません: %1（%2）").arg(path, describeFileError(file));
        return nullptr;
    }
    return fromBytes(bytes, errorString);
}

std::unique_ptr<Workbook> Workbook::fromBytes(const QByteArray &file, QString *errorString)
{
    std::unique_ptr<Workbook> book(new Workbook);
    if (file.isEmpty()) {
        *errorString = QStringLiteral("ファイルが空です");
        return nullptr;
    }
    const Bytes bytes = bytesOf(file);
    if (file.startsWith("\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1")) {
        if (!readWorkbookStream(file, &book->stream_, errorString))
            return nullptr;
    } else if (file.size() >= 4 && (isOldBofType(readU16(bytes, 0)) || readU16(bytes, 0) == RecordType::Bof)) {
        // A bare BIFF stream, as Excel 2–4 wrote them and some tools still do; copied because the
        // caller's bytes may be borrowed (the fuzz harness passes its own buffer).
        book->stream_ = QByteArray(file.constData(), file.size());
    } else {
        *errorString = notAWorkbook(file);
        return nullptr;
    }
    if (!book->readGlobals(errorString))
        return nullptr;
    return book;
}

std::optional<SheetTable> Workbook::readSheet(qsizetype index, QString *errorString) const
{
    if (index < 0 || index >= sheetNames_.size()) {
        *errorString = QStringLiteral("シート番号 %1 はありません（ワークシートは %2 枚です）").arg(index).arg(sheetNames_.size());
        return std::nullopt;
    }
    return SheetReader(*this).read(index, errorString);
}

bool Workbook::readGlobals(QString *errorString)
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
    QHash<quint16, bool> formatIsDate;
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
                formatIsDate.insert(readU16(data, 0), isDateFormatCode(code));
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
        formatIsDate.insert(index, isDateFormatCode(decoder.decode(code)));
    xfIsDate_.reserve(xfFormats.size());
    for (const quint16 format : xfFormats)
        xfIsDate_.push_back(formatIsDate.value(format, isBuiltInDateFormat(format)));
    return true;
}

void Workbook::readSharedStrings(ContinuedReader &text)
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
