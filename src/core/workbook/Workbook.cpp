#include "core/workbook/Workbook.h"
#include "core/workbook/ReadFailures.h"

#include "core/document/DocumentLength.h"
#include "core/files/FileError.h"
#include "core/workbook/BiffStream.h"
#include "core/workbook/BiffWorkbook.h"
#include "core/workbook/HugePages.h"
#include "core/workbook/OdsWorkbook.h"
#include "core/workbook/OleStorage.h"
#include "core/workbook/OoxmlWorkbook.h"
#include "core/workbook/ZipPackage.h"

#include <QFile>
#include <QFileInfo>

#include <algorithm>

namespace tessaly::workbook {
namespace {

// Larger files are refused rather than read into memory whole.
constexpr qint64 kMaxFileSize = qint64(1) << 30;

bool isOldBofType(quint16 type)
{
    return type == 0x0009 || type == 0x0209 || type == 0x0409;
}

Result<std::unique_ptr<Workbook>> openZip(QByteArray file)
{
    Result<std::unique_ptr<ZipPackage>> package = ZipPackage::open(std::move(file));
    if (!package)
        return package.failure();
    if ((*package)->contains(QStringLiteral("[Content_Types].xml")))
        return openOoxmlWorkbook(std::move(*package));
    if ((*package)->contains(QStringLiteral("mimetype")) || (*package)->contains(QStringLiteral("META-INF/manifest.xml")))
        return openOdsWorkbook(std::move(*package));
    return zipWithoutWorkbook();
}

} // namespace

QStringView SheetTable::heading(qsizetype column) const
{
    return column >= 0 && column < columnCount() ? QStringView(m_headings[column]) : QStringView();
}

void SheetTable::recordValues(qsizetype record, std::span<QStringView> values) const
{
    const auto begin = m_entries.begin() + m_recordStarts[std::size_t(record)];
    const auto end = m_entries.begin() + m_recordStarts[std::size_t(record) + 1];
    if (std::size_t(end - begin) != values.size())
        std::fill(values.begin(), values.end(), QStringView());
    for (auto entry = begin; entry != end; ++entry)
        values[entry->column] = textOf(*entry);
}

QStringView SheetTable::textOf(const Entry &entry) const
{
    if (entry.offset & kSharedText)
        return QStringView(m_sharedText).mid(entry.offset & ~kSharedText, entry.length);
    return QStringView(m_ownText).mid(entry.offset, entry.length);
}

SheetTableBuilder::SheetTableBuilder(QString sharedText)
    : m_sharedText(std::move(sharedText))
{
}

void SheetTableBuilder::reserve(std::size_t cells, qsizetype textLength)
{
    // Reserved pages that stay unused cost no memory.
    m_cells.reserve(cells);
    preferHugePages(m_cells.data(), m_cells.capacity() * sizeof(SheetTable::Entry));
    m_ownText.reserve(textLength);
    preferHugePages(m_ownText.constData(), std::size_t(m_ownText.capacity()) * sizeof(QChar));
}

QString SheetTableBuilder::textTooLong()
{
    return QStringLiteral("セルの文字列が上限の 32,767 文字を超えています");
}

void SheetTableBuilder::fail(const QString &error)
{
    if (!failed())
        m_error = error;
}

void SheetTableBuilder::sortCells()
{
    using Cell = SheetTable::Entry;
    if (m_cells.empty())
        return;
    const auto byPosition = [](const Cell &a, const Cell &b) { return a.row != b.row ? a.row < b.row : a.column < b.column; };
    // Cells mostly come in order, each once: then one look at them is all.
    auto out = std::adjacent_find(m_cells.begin(), m_cells.end(), [&](const Cell &a, const Cell &b) { return !byPosition(a, b); });
    if (out == m_cells.end())
        return;
    if (!std::is_sorted(out, m_cells.end(), byPosition)) {
        std::stable_sort(m_cells.begin(), m_cells.end(), byPosition);
        out = m_cells.begin();
    }
    // When a cell is written twice the later record wins, as in Excel.
    for (auto it = out + 1; it != m_cells.end(); ++it) {
        if (byPosition(*out, *it))
            ++out;
        *out = *it;
    }
    m_cells.erase(out + 1, m_cells.end());
}

Result<SheetTable> SheetTableBuilder::build()
{
    if (failed())
        return Failure{m_error};
    sortCells();
    if (m_cells.empty()) {
        SheetTable table;
        table.m_ownText = std::move(m_ownText);
        table.m_sharedText = std::move(m_sharedText);
        return table;
    }
    using Cell = SheetTable::Entry;
    const auto [minColumn, maxColumn] = std::minmax_element(m_cells.begin(), m_cells.end(),
                                                            [](const Cell &a, const Cell &b) { return a.column < b.column; });
    const SheetExtent sheet{m_cells.front().row, m_cells.back().row, minColumn->column, maxColumn->column};
    return layOut(sheet, sheet.firstRow + 1, sheet.lastRow, {});
}

Result<SheetTable> SheetTableBuilder::buildBand(const SheetExtent &sheet, quint32 firstRecordRow, quint32 lastRecordRow,
                                                const QStringList &headings)
{
    if (failed())
        return Failure{m_error};
    sortCells();
    const std::size_t cells = m_cells.size();
    const qsizetype text = m_ownText.size();
    SheetTable band = layOut(sheet, firstRecordRow, lastRecordRow, headings);
    // The next band goes on in the buffers of one composed before, or else in new ones as large as
    // this band's: fresh memory costs more than the bytes it holds.
    m_cells = std::exchange(m_spareCells, {});
    m_cells.clear();
    m_cells.reserve(cells);
    m_ownText = std::exchange(m_spareText, {});
    m_ownText.resize(0);
    m_ownText.reserve(text);
    m_documentLength = 0;
    return band;
}

void SheetTableBuilder::recycle(SheetTable &&used)
{
    if (used.m_entries.capacity() > m_spareCells.capacity())
        m_spareCells = std::move(used.m_entries);
    if (used.m_ownText.capacity() > m_spareText.capacity())
        m_spareText = std::move(used.m_ownText);
}

// The cells, sorted and within the sheet's extent, become the table's entries in place: no copy of
// a sheet's worth of cells.
SheetTable SheetTableBuilder::layOut(const SheetExtent &sheet, quint32 firstRecordRow, quint32 lastRecordRow,
                                     const QStringList &headings)
{
    using Cell = SheetTable::Entry;
    SheetTable table;
    table.m_ownText = std::move(m_ownText);
    table.m_sharedText = m_sharedText;
    const int columnCount = int(sheet.lastColumn - sheet.firstColumn + 1);
    auto cell = m_cells.cbegin();
    if (m_cells.empty() || m_cells.front().row != sheet.firstRow) {
        table.m_headings = headings;
    } else {
        table.m_headings.reserve(columnCount);
        for (int column = 0; column < columnCount; ++column) {
            QStringView heading;
            if (cell != m_cells.cend() && cell->row == sheet.firstRow && cell->column == sheet.firstColumn + column)
                heading = table.textOf(*cell++);
            table.m_headings.append(heading.toString());
        }
    }
    table.m_textLength = m_documentLength - std::min(m_documentLength, kCellMarkup * m_cells.size());

    table.m_recordStarts.assign(1, quint32(cell - m_cells.cbegin()));
    if (lastRecordRow >= firstRecordRow)
        table.m_recordStarts.reserve(std::size_t(lastRecordRow - firstRecordRow) + 2);
    for (quint32 row = firstRecordRow; row <= lastRecordRow; ++row) {
        while (cell != m_cells.cend() && cell->row == row)
            ++cell;
        table.m_recordStarts.push_back(quint32(cell - m_cells.cbegin()));
    }
    if (sheet.firstColumn > 0) {
        for (Cell &entry : m_cells)
            entry.column = quint16(entry.column - sheet.firstColumn);
    }
    table.m_entries = std::move(m_cells);
    return table;
}

SheetBands::~SheetBands() = default;

namespace {

class WholeTableBands final : public SheetBands {
public:
    explicit WholeTableBands(SheetTable table)
    {
        m_recordCount = table.recordCount();
        m_textLength = table.textLength();
        m_band = std::move(table);
    }
    Result<bool> nextBand() override { return false; }
};

} // namespace

std::unique_ptr<SheetBands> SheetBands::wholeTable(SheetTable table)
{
    return std::make_unique<WholeTableBands>(std::move(table));
}

Workbook::~Workbook() = default;

Result<std::unique_ptr<Workbook>> Workbook::open(const QString &path)
{
    const QFileInfo info(path);
    if (!info.exists())
        return Failure{QStringLiteral("ファイルが見つかりません: %1").arg(path)};
    if (info.isDir())
        return Failure{QStringLiteral("ファイルではなくフォルダーです: %1").arg(path)};
    if (!info.isFile()) // a device or pipe could be endless
        return Failure{QStringLiteral("通常のファイルではありません: %1").arg(path)};
    if (info.size() > kMaxFileSize)
        return Failure{QStringLiteral("ファイルが大きすぎます（%1 バイト）: %2").arg(info.size()).arg(path)};
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return Failure{QStringLiteral("ファイルを開けません: %1（%2）").arg(path, describeFileError(file))};
    // Read, not mapped: a mapped file that shrinks while it is parsed would crash the program.
    QByteArray bytes(info.size(), Qt::Uninitialized);
    preferHugePages(bytes.constData(), std::size_t(bytes.size()));
    if (file.read(bytes.data(), bytes.size()) != bytes.size())
        return Failure{QStringLiteral("ファイルを読めません: %1（%2）").arg(path, describeFileError(file))};
    return fromOwnedBytes(std::move(bytes));
}

Result<std::unique_ptr<Workbook>> Workbook::fromBytes(const QByteArray &file)
{
    // A copy: the caller's bytes may be borrowed (the fuzz harness passes its own buffer), and the
    // ZIP readers keep the file for reading sheets later.
    return fromOwnedBytes(QByteArray(file.constData(), file.size()));
}

Result<std::unique_ptr<Workbook>> Workbook::fromOwnedBytes(QByteArray file)
{
    if (file.isEmpty())
        return Failure{QStringLiteral("ファイルが空です")};
    if (file.startsWith("\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1")) {
        Result<WorkbookStream> stream = readWorkbookStream(std::move(file));
        if (!stream)
            return stream.failure();
        return BiffWorkbook::fromStream(std::move(*stream));
    }
    const Bytes bytes(reinterpret_cast<const uchar *>(file.constData()), std::size_t(file.size()));
    // A bare BIFF stream, as Excel 2–4 wrote them and some tools still do.
    if (file.size() >= 4 && (isOldBofType(readU16(bytes, 0)) || readU16(bytes, 0) == RecordType::Bof))
        return BiffWorkbook::fromStream(WorkbookStream(std::move(file)));
    if (file.startsWith("PK\x03\x04") || file.startsWith("PK\x05\x06"))
        return openZip(std::move(file));
    return Failure{
        QStringLiteral("対応している形式（Excel の .xls・.xlsx・.xlsm・.xltx、OpenDocument の .ods）のブックではありません")};
}

Result<SheetTable> Workbook::readSheet(qsizetype index) const
{
    if (index < 0 || index >= m_sheetNames.size())
        return Failure{QStringLiteral("シート番号 %1 はありません（ワークシートは %2 枚です）").arg(index).arg(m_sheetNames.size())};
    return readWorksheet(index);
}

Result<std::unique_ptr<SheetBands>> Workbook::readSheetInBands(qsizetype index, std::size_t bandCells) const
{
    if (index < 0 || index >= m_sheetNames.size())
        return readSheet(index).failure();
    return readWorksheetInBands(index, bandCells);
}

Result<std::unique_ptr<SheetBands>> Workbook::readWorksheetInBands(qsizetype index, std::size_t) const
{
    Result<SheetTable> table = readWorksheet(index);
    if (!table)
        return table.failure();
    return SheetBands::wholeTable(std::move(*table));
}

} // namespace tessaly::workbook
