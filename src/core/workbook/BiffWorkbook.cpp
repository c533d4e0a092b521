#include "core/workbook/BiffWorkbook.h"
#include "core/workbook/ReadFailures.h"

#include "core/document/DocumentLength.h"
#include "core/workbook/BiffStream.h"
#include "core/workbook/CellText.h"
#include "core/workbook/HugePages.h"
#include "core/workbook/OleStorage.h"

#include <algorithm>
#include <bitset>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <thread>

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

// A sink that only measures the cells takes numbers without their text.
template <typename Sink>
concept MeasuresNumbers = requires(Sink &sink) { sink.addNumber(quint32(), quint32()); };

// Reads one worksheet's cell records and hands the cells to a sink: a SheetTableBuilder, the
// BandCollector that cuts the table into bands, or the SheetOutliner that only measures them.
template <typename Sink> class SheetReader {
public:
    SheetReader(const BiffWorkbook &book, Sink &sink)
        : m_book(book)
        , m_decoder(book.m_codePage)
        , m_sink(sink)
        , m_ownText(sink.ownText())
    {
    }

    // Moves to the sheet's first record.
    Outcome start(qsizetype index)
    {
        m_reader = RecordReader(m_book.m_stream.bytes(), m_book.m_sheetOffsets[std::size_t(index)]);
        Record record;
        if (!m_reader.next(record) || record.type != RecordType::Bof)
            return corruptFile(QStringLiteral("シート「%1」の開始位置が不正です").arg(m_book.m_sheetNames[index]));
        return {};
    }

    // Reads records until the sheet ends (false) or `pause()` asks to stop after a record (true).
    template <typename Pause> bool readUntil(Pause pause)
    {
        // Embedded charts nest their own BOF…EOF inside the worksheet.
        Record record;
        while (m_depth > 0 && m_reader.next(record)) {
            if (record.type == RecordType::Bof)
                ++m_depth;
            else if (record.type == RecordType::Eof)
                --m_depth;
            else if (m_depth == 1)
                handle(record, m_reader);
            if (pause())
                return m_depth > 0;
        }
        m_depth = 0;
        return false;
    }

private:
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
        if constexpr (MeasuresNumbers<Sink>) {
            m_pendingString = false;
            if (column <= kLastColumn)
                m_sink.addNumber(row, column);
            return;
        }
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
            m_sink.addSharedText(row, column, offset, length);
        else
            m_sink.addText(row, column, offset, length);
    }

    const BiffWorkbook &m_book;
    CodePageDecoder m_decoder;
    ContinuedReader m_text;
    Sink &m_sink;
    QString &m_ownText;
    RecordReader m_reader{{}, 0};
    int m_depth = 1;
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

std::size_t BiffWorkbook::sheetSize(qsizetype index) const
{
    const quint32 start = m_sheetOffsets[std::size_t(index)];
    quint32 end = quint32(m_stream.bytes().size());
    for (const quint32 offset : m_sheetOffsets) {
        if (offset > start && offset < end)
            end = offset;
    }
    return end > start ? end - start : 0;
}

Result<SheetTable> BiffWorkbook::readWorksheet(qsizetype index) const
{
    SheetTableBuilder builder(m_sharedText);
    SheetReader reader(*this, builder);
    if (const Outcome started = reader.start(index); !started)
        return started.failure();
    // Growing the cell list and text buffer record by record would copy them over and over. A cell
    // record takes at least 6 bytes (in a MULRK) and usually 10 to 18; its text is mostly shorter.
    const std::size_t sheetBytes = sheetSize(index);
    builder.reserve(sheetBytes / 12, qsizetype(sheetBytes / 2));
    reader.readUntil([] { return false; });
    return builder.build();
}

namespace {

// Reads a sheet once without keeping its cells: its extent, and whether it can be read in bands.
// It sees the cells the table would get and judges them by the same rule.
class SheetOutliner {
public:
    QString &ownText() { return m_scratch; }
    void addText(quint32 row, quint32 column, qsizetype, qsizetype length)
    {
        note(row, column, length);
        m_scratch.resize(0);
    }
    void addSharedText(quint32 row, quint32 column, qsizetype, qsizetype length) { note(row, column, length); }
    void addNumber(quint32 row, quint32 column)
    {
        note(row, column, kLongestNumberText);
        m_textLengthExact = false;
    }

    // True when the kept cells come row by row, none too long, and the cells alone keep within
    // the document's bound even counting every number at its longest: then reading the sheet in
    // bands gives the table's records, and its failures, exactly.
    bool allowsBands() const { return m_cells > 0 && m_inRowOrder && m_documentLength <= kMaxDocumentLength; }
    const SheetExtent &extent() const { return m_extent; }
    // The text length the table counts: its cells' text, and the markup of cells given twice.
    quint64 textLength() const { return m_documentLength - kCellMarkup * m_distinctCells; }
    bool textLengthExact() const { return m_textLengthExact; }

private:
    void note(quint32 row, quint32 column, qsizetype length)
    {
        switch (SheetTableBuilder::fateOf(row, column, length)) {
        case SheetTableBuilder::CellFate::Dropped:
            return;
        case SheetTableBuilder::CellFate::TooLong:
            m_inRowOrder = false;
            return;
        case SheetTableBuilder::CellFate::Kept:
            break;
        }
        if (m_cells == 0) {
            m_extent = {row, row, column, column};
        } else if (row != m_extent.lastRow) {
            m_inRowOrder = m_inRowOrder && row > m_extent.lastRow;
            m_extent.lastRow = row;
            m_columnsInRow.reset();
        }
        m_extent.firstColumn = std::min(m_extent.firstColumn, column);
        m_extent.lastColumn = std::max(m_extent.lastColumn, column);
        ++m_cells;
        if (!m_columnsInRow.test(column)) {
            m_columnsInRow.set(column);
            ++m_distinctCells;
        }
        m_documentLength += kCellMarkup + quint64(length);
    }

    QString m_scratch;
    SheetExtent m_extent;
    std::bitset<kLastColumn + 1> m_columnsInRow;
    quint64 m_cells = 0;
    quint64 m_distinctCells = 0;
    quint64 m_documentLength = 0;
    bool m_inRowOrder = true;
    bool m_textLengthExact = true;
};

// Collects the cells of a sheet whose outline allows bands: a band ends before the first row that
// starts once it holds `bandCells` cells. Cells are collected before the sheet's extent is known;
// bands are cut once it is.
class BandCollector {
public:
    BandCollector(const QString &sharedText, std::size_t bandCells)
        : m_builder(sharedText)
        , m_bandCells(bandCells)
    {
    }

    bool knowsExtent() const { return m_sheet.has_value(); }
    void setExtent(const SheetExtent &sheet)
    {
        m_sheet = sheet;
        m_firstRecordRow = sheet.firstRow + 1;
    }
    std::size_t cellCount() const { return m_builder.cellCount(); }

    QString &ownText() { return m_builder.ownText(); }
    void addText(quint32 row, quint32 column, qsizetype offset, qsizetype length)
    {
        if (startsBand(row, column, length)) {
            // The cell's text was appended last: it moves on with the cell.
            const QString text = ownText().sliced(offset, length);
            endBand(row);
            offset = ownText().size();
            ownText().append(text);
        }
        m_builder.addText(row, column, offset, length);
    }
    void addSharedText(quint32 row, quint32 column, qsizetype offset, qsizetype length)
    {
        if (startsBand(row, column, length))
            endBand(row);
        m_builder.addSharedText(row, column, offset, length);
    }

    // The band ended by the last cell, if any.
    std::optional<Result<SheetTable>> takeBand() { return std::exchange(m_band, std::nullopt); }
    // The last band, once every record is read and the extent is known.
    Result<SheetTable> lastBand() { return m_builder.buildBand(*m_sheet, m_firstRecordRow, m_sheet->lastRow, m_headings); }
    // Gives a band that was composed its buffers back, so that the next one needs no fresh memory.
    void recycle(SheetTable &&used) { m_builder.recycle(std::move(used)); }

private:
    bool startsBand(quint32 row, quint32 column, qsizetype length)
    {
        if (row == m_row || SheetTableBuilder::fateOf(row, column, length) != SheetTableBuilder::CellFate::Kept)
            return false;
        const bool first = !m_row;
        m_row = row;
        return !first && m_sheet && m_builder.cellCount() >= m_bandCells;
    }

    void endBand(quint32 nextRow)
    {
        Result<SheetTable> band = m_builder.buildBand(*m_sheet, m_firstRecordRow, nextRow - 1, m_headings);
        if (band && m_headings.isEmpty())
            m_headings = band->headings();
        m_firstRecordRow = nextRow;
        m_band = std::move(band);
    }

    SheetTableBuilder m_builder;
    const std::size_t m_bandCells;
    std::optional<SheetExtent> m_sheet;
    QStringList m_headings;
    std::optional<quint32> m_row; // of the last kept cell
    quint32 m_firstRecordRow = 0;
    std::optional<Result<SheetTable>> m_band;
};

} // namespace

// A worksheet read band by band. A second thread reads the records into bands while the caller
// first outlines the sheet, then composes each band; it reads at most a few bands ahead of the
// outline and keeps at most two bands ready, and a composed band comes back to it for its buffers.
class BiffSheetBands final : public SheetBands {
public:
    BiffSheetBands(const BiffWorkbook &book, std::size_t bandCells)
        : m_collector(book.m_sharedText, bandCells)
        , m_reader(book, m_collector)
        , m_cellsAheadOfOutline(4 * bandCells)
    {
    }

    ~BiffSheetBands() override
    {
        {
            const std::lock_guard lock(m_mutex);
            m_stopped = true;
        }
        m_changed.notify_all();
        if (m_thread.joinable())
            m_thread.join();
    }

    Outcome start(qsizetype index)
    {
        if (const Outcome started = m_reader.start(index); !started)
            return started;
        m_thread = std::thread([this] { readBands(); });
        return {};
    }

    // Lets the reading thread cut its bands, and waits for the first one.
    Outcome outlined(const SheetOutliner &outline)
    {
        m_recordCount = qsizetype(outline.extent().lastRow - outline.extent().firstRow);
        m_textLength = outline.textLength();
        m_textLengthExact = outline.textLengthExact();
        {
            const std::lock_guard lock(m_mutex);
            m_extent = outline.extent();
        }
        m_changed.notify_all();
        const Result<bool> first = nextBand();
        return first ? Outcome() : first.failure();
    }

    Result<bool> nextBand() override
    {
        std::unique_lock lock(m_mutex);
        if (m_delivered)
            m_composed.push_back(std::move(m_band));
        m_callerWaits = true;
        m_changed.wait(lock, [this] { return !m_ready.empty() || m_ended; });
        m_callerWaits = false;
        if (m_ready.empty())
            return false;
        Result<SheetTable> band = std::move(m_ready.front());
        m_ready.pop_front();
        // Waking a thread costs more than a few records: only a waiting one is woken.
        if (m_readerWaits)
            m_changed.notify_all();
        if (!band)
            return band.failure();
        m_band = std::move(*band);
        m_delivered = true;
        return true;
    }

    bool readsAhead() const override { return true; }

private:
    // On the reading thread.
    void readBands()
    {
        for (bool more = true; more;) {
            if (!waitForRoom())
                return;
            std::optional<Result<SheetTable>> band;
            more = m_reader.readUntil([&] {
                return (band = m_collector.takeBand()).has_value()
                       || (!m_collector.knowsExtent() && m_collector.cellCount() >= m_cellsAheadOfOutline);
            });
            if (!m_collector.knowsExtent() && !waitForExtent())
                return;
            if (!band) {
                if (more)
                    continue;
                band = m_collector.lastBand();
            }
            more = more && band->ok(); // a failed band is the last
            const std::lock_guard lock(m_mutex);
            m_ready.push_back(std::move(*band));
            m_ended = !more;
            if (m_callerWaits)
                m_changed.notify_all();
        }
    }

    // Waits until fewer than two bands are ready, and takes back the composed ones; false once stopped.
    bool waitForRoom()
    {
        std::unique_lock lock(m_mutex);
        m_readerWaits = true;
        m_changed.wait(lock, [this] { return m_ready.size() < 2 || m_stopped; });
        m_readerWaits = false;
        for (SheetTable &composed : m_composed)
            m_collector.recycle(std::move(composed));
        m_composed.clear();
        return !m_stopped;
    }

    // Waits for the outline's extent; false when stopped first (the outline refused bands).
    bool waitForExtent()
    {
        std::unique_lock lock(m_mutex);
        m_changed.wait(lock, [this] { return m_extent || m_stopped; });
        if (m_stopped)
            return false;
        m_collector.setExtent(*m_extent);
        return true;
    }

    BandCollector m_collector; // the reading thread's alone once it runs
    SheetReader<BandCollector> m_reader;
    const std::size_t m_cellsAheadOfOutline;
    std::thread m_thread;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::optional<SheetExtent> m_extent;
    std::deque<Result<SheetTable>> m_ready;
    std::vector<SheetTable> m_composed;
    bool m_delivered = false;
    bool m_ended = false;
    bool m_stopped = false;
    bool m_callerWaits = false;
    bool m_readerWaits = false;
};

Result<std::unique_ptr<SheetBands>> BiffWorkbook::readWorksheetInBands(qsizetype index, std::size_t bandCells) const
{
    // Own text past 2^31 characters would not fit a table; a record byte makes at most 4 of them.
    constexpr std::size_t kLargestBandedSheet = std::size_t(1) << 29;
    if (sheetSize(index) >= kLargestBandedSheet)
        return Workbook::readWorksheetInBands(index, bandCells);
    // The bands are read while the sheet is outlined.
    auto bands = std::make_unique<BiffSheetBands>(*this, bandCells);
    if (const Outcome started = bands->start(index); !started)
        return started.failure();
    SheetOutliner outliner;
    SheetReader outlineReader(*this, outliner);
    if (const Outcome started = outlineReader.start(index); !started)
        return started.failure();
    outlineReader.readUntil([] { return false; });
    if (!outliner.allowsBands()) {
        bands.reset();
        return Workbook::readWorksheetInBands(index, bandCells);
    }
    if (const Outcome first = bands->outlined(outliner); !first)
        return first.failure();
    return std::unique_ptr<SheetBands>(std::move(bands));
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
        return corruptFile(QStringLiteral("先頭のレコードが途中で切れています"));
    const quint16 version = readU16(record.data, 0);
    if (isOldBofType(record.type) || (record.type == RecordType::Bof && version < 0x0500))
        return Failure{oldBiffUnsupported()};
    if (record.type != RecordType::Bof)
        return corruptFile(QStringLiteral("ブックの先頭に BOF レコードがありません"));
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
