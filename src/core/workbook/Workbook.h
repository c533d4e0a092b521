#pragma once

#include "core/Result.h"
#include "core/document/DocumentLength.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QStringView>

#include <memory>
#include <optional>
#include <span>
#include <vector>

namespace tessaly::workbook {

class SheetTableBuilder;

// The rectangle a sheet's table covers: its first row holds the headings, the others are records.
struct SheetExtent {
    quint32 firstRow = 0;
    quint32 lastRow = 0;
    quint32 firstColumn = 0;
    quint32 lastColumn = 0;
};

// One worksheet presented as a table: the column headings as read, then records in sheet order.
class SheetTable {
public:
    qsizetype columnCount() const { return qsizetype(m_headings.size()); }
    qsizetype recordCount() const { return qsizetype(m_recordStarts.size()) - 1; }
    // The text of the column's cell in the first row; empty when it has none.
    QStringView heading(qsizetype column) const;
    const QStringList &headings() const { return m_headings; }
    // Every cell's text of one record, column by column, into `values` (columnCount() of them); empty
    // for an empty cell.
    void recordValues(qsizetype record, std::span<QStringView> values) const;
    // The characters of every cell's text together, headings included.
    quint64 textLength() const { return m_textLength; }

private:
    friend class SheetTableBuilder;

    // A cell. Its text lies in the table's own text, or in the workbook's shared strings when the
    // offset carries kSharedText. (No bit-fields: writing one reads the fresh page first, which
    // doubles the page faults of a large sheet.)
    struct Entry {
        quint32 offset;
        quint16 length; // texts are bounded by SheetTableBuilder::kMaxTextLength
        quint16 column; // counted from the table's first column
        quint32 row;
    };
    static constexpr quint32 kSharedText = 0x80000000u;
    QStringView textOf(const Entry &entry) const;

    QString m_ownText;
    QString m_sharedText;
    QStringList m_headings;
    quint64 m_textLength = 0; // the characters of every cell, headings included
    std::vector<Entry> m_entries; // the heading's cells, then record by record, sorted by column
    std::vector<quint32> m_recordStarts = {0}; // index of each record's first entry, plus the end
};

// Collects one worksheet's cells, in any order, and lays them out as a table: the used range of the
// cells that hold text, its first row as column names. Every reader builds its tables with it, so
// the table rules and the bounds are the same for every format.
class SheetTableBuilder {
public:
    // Excel's own limits: a cell's text, the rows and columns of a sheet (cells past them are dropped).
    static constexpr qsizetype kMaxTextLength = 32767;
    static constexpr quint32 kMaxRows = 1048576;
    static constexpr quint32 kMaxColumns = 16384;

    // sharedText holds the workbook's shared strings that addSharedText refers to.
    explicit SheetTableBuilder(QString sharedText = {});

    // Room for about this many cells and characters of own text, so that a large sheet is not copied
    // over and over while it grows.
    void reserve(std::size_t cells, qsizetype textLength);
    // The cells' own text: append a cell's text here, then add the cell with addOwnText.
    QString &ownText() { return m_ownText; }
    // Adds the cell whose text was appended to ownText() since start. A cell without text is no cell.
    void addOwnText(quint32 row, quint32 column, qsizetype start) { addText(row, column, start, m_ownText.size() - start); }
    // Adds a cell showing a text already in ownText(), such as one repeated along a row. Own text
    // past 2^31 characters could not be told from shared text; the document would pass its bound
    // long before.
    void addText(quint32 row, quint32 column, qsizetype offset, qsizetype length)
    {
        if (offset + length < qsizetype(SheetTable::kSharedText))
            add(row, column, quint32(offset), length);
        else
            fail(documentTooLarge());
    }
    // Adds a cell showing one of the workbook's shared strings.
    void addSharedText(quint32 row, quint32 column, qsizetype offset, qsizetype length)
    {
        add(row, column, quint32(offset) | SheetTable::kSharedText, length);
    }
    // True once a bound was passed; the reader may stop early, build() reports it.
    bool failed() const { return !m_error.isEmpty(); }
    // Whether `cells` more cells of `textLength` characters each, with the least markup a cell
    // takes, keep the cells alone within the document's bound (kMaxDocumentLength); asked before
    // repeating a cell, so that a huge repeat count is refused, not expanded. False (and failed())
    // when they do not. The document checks the whole of its bound (checkDocumentLength).
    bool fits(quint64 cells, quint64 textLength)
    {
        if (!failed() && (cells > kMaxDocumentLength || m_documentLength + cells * (kCellMarkup + textLength) > kMaxDocumentLength))
            fail(documentTooLarge());
        return !failed();
    }

    // The table; when a cell is given twice the later one wins. Fails when a bound was passed.
    Result<SheetTable> build();
    // One band of a sheet whose extent is known: its records from firstRecordRow to lastRecordRow,
    // with the headings found among the cells (the band holding the sheet's first row) or else
    // `headings`. Takes the cells and text; the builder then collects the next band.
    Result<SheetTable> buildBand(const SheetExtent &sheet, quint32 firstRecordRow, quint32 lastRecordRow,
                                 const QStringList &headings);
    std::size_t cellCount() const { return m_cells.size(); }
    // Keeps the buffers of a band that is done with for a band still to be built.
    void recycle(SheetTable &&used);

    // Whether a cell of `length` characters at (row, column) becomes part of the table.
    enum class CellFate { Dropped, Kept, TooLong };
    static CellFate fateOf(quint32 row, quint32 column, qsizetype length)
    {
        if (length <= 0 || row >= kMaxRows || column >= kMaxColumns)
            return CellFate::Dropped;
        return length > kMaxTextLength ? CellFate::TooLong : CellFate::Kept;
    }

    // The message for a text longer than kMaxTextLength.
    static QString textTooLong();

private:
    // Only cells with text count: blank and merely formatted cells never become part of the table.
    // Inline: a large sheet adds millions of cells.
    void add(quint32 row, quint32 column, quint32 offset, qsizetype length)
    {
        if (failed())
            return;
        switch (fateOf(row, column, length)) {
        case CellFate::Dropped:
            return;
        case CellFate::TooLong:
            fail(textTooLong());
            return;
        case CellFate::Kept:
            break;
        }
        if (fits(1, quint64(length))) {
            m_documentLength += kCellMarkup + quint64(length);
            m_cells.push_back({offset, quint16(length), quint16(column), row});
        }
    }
    void fail(const QString &error);
    // Sorts the cells by position, keeping the later of two for one cell.
    void sortCells();
    SheetTable layOut(const SheetExtent &sheet, quint32 firstRecordRow, quint32 lastRecordRow, const QStringList &headings);

    QString m_ownText;
    QString m_sharedText;
    std::vector<SheetTable::Entry> m_cells;
    std::vector<SheetTable::Entry> m_spareCells; // from a recycled band
    QString m_spareText;
    quint64 m_documentLength = 0; // what the cells alone take in the document, at least
    QString m_error;
};

// A worksheet's table read band by band, so that a large sheet's document is composed while it is
// read, never holding the whole table: each band holds the sheet's headings and the next run of
// records; together they are the table readSheet gives.
class SheetBands {
public:
    virtual ~SheetBands();
    // The whole sheet's records and the characters of its text, headings included; where the text
    // length is not exact it is at most this (numbers counted at their longest).
    qsizetype recordCount() const { return m_recordCount; }
    quint64 textLength() const { return m_textLength; }
    bool textLengthExact() const { return m_textLengthExact; }
    // The current band; the first one is there from the start.
    const SheetTable &band() const { return m_band; }
    // Moves to the next band: false after the last one.
    virtual Result<bool> nextBand() = 0;
    // True when the next bands are read on a thread of their own while the caller has the current one.
    virtual bool readsAhead() const { return false; }

    // The whole table as one band.
    static std::unique_ptr<SheetBands> wholeTable(SheetTable table);

protected:
    SheetTable m_band;
    qsizetype m_recordCount = 0;
    quint64 m_textLength = 0;
    bool m_textLengthExact = true;
};

// An open workbook of any of the formats read: Excel 97-2003 and 5.0/95 (.xls), Office Open XML
// (.xlsx, .xlsm, .xltx) and OpenDocument (.ods).
class Workbook {
public:
    virtual ~Workbook();
    // Opens the workbook, recognising its format by content.
    static Result<std::unique_ptr<Workbook>> open(const QString &path);
    // The same from the file's bytes already in memory.
    static Result<std::unique_ptr<Workbook>> fromBytes(const QByteArray &file);

    // Worksheets only, in workbook order, hidden ones included, names exact.
    const QStringList &sheetNames() const { return m_sheetNames; }
    // Reads one worksheet.
    Result<SheetTable> readSheet(qsizetype index) const;
    // Reads one worksheet band by band where its format and layout allow, else as one band; a band
    // ends with the first row that starts once it holds `bandCells` cells. The workbook must
    // outlive the bands.
    static constexpr std::size_t kBandCells = 1 << 14;
    Result<std::unique_ptr<SheetBands>> readSheetInBands(qsizetype index, std::size_t bandCells = kBandCells) const;

protected:
    Workbook() = default;
    virtual Result<SheetTable> readWorksheet(qsizetype index) const = 0;
    // The readers that can read in bands override this.
    virtual Result<std::unique_ptr<SheetBands>> readWorksheetInBands(qsizetype index, std::size_t bandCells) const;

    QStringList m_sheetNames;

private:
    static Result<std::unique_ptr<Workbook>> fromOwnedBytes(QByteArray file);
};

} // namespace tessaly::workbook
