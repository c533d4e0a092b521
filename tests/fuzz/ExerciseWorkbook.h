#pragma once

#include "core/document/XmlDocument.h"
#include "core/workbook/Workbook.h"

#include <QBuffer>

#include <algorithm>

// Composes the sheet's document in the common charsets as a conversion writes it, read in bands of
// several sizes and written in small pieces, and compares each with the sheet's table composed as
// text and encoded in one call. Returns what differs.
inline QString composeInEveryCharset(const tessaly::workbook::Workbook &book, qsizetype sheet,
                                     const tessaly::workbook::SheetTable &table)
{
    const std::size_t bandCells[] = {1, 3, 17, 256, 4096, tessaly::workbook::Workbook::kBandCells};
    const char *charsets[] = {"UTF-8", "Shift_JIS", "EUC-JP", "ISO-2022-JP", "UTF-16", "windows-1252"};
    tessaly::Settings settings;
    for (std::size_t i = 0; i < std::size(charsets); ++i) {
        settings.charset = QString::fromLatin1(charsets[i]);
        const auto bands = book.readSheetInBands(sheet, bandCells[i]);
        if (!bands)
            return QStringLiteral("reading in bands failed: ") + bands.failure().message;
        const bool exact = (*bands)->textLengthExact();
        if ((*bands)->recordCount() != table.recordCount() || (*bands)->textLength() < table.textLength()
            || (exact && (*bands)->textLength() != table.textLength()))
            return QStringLiteral("the bands' record count or text length differs from the table's");
        QBuffer written;
        written.open(QIODevice::WriteOnly);
        const tessaly::Outcome composed = tessaly::writeDocumentFile(written, **bands, settings, 4096);
        const QString document = tessaly::buildDocument(table, settings);
        if (!composed || written.data() != tessaly::documentFileBytes(document, settings.charset).value())
            return QStringLiteral("the document in %1 read in bands of %2 cells differs from the table's encoded in one call")
                .arg(settings.charset)
                .arg(bandCells[i]);
    }
    return {};
}

// Opens a workbook from bytes and reads its worksheets' names and cells, as a conversion would;
// composes the document of every sheet of at most `composedCells` cells. Returns what went wrong.
// Shared by the libFuzzer harness and the test that replays the inputs it once failed on.
inline QString exerciseWorkbook(const QByteArray &bytes, qsizetype composedCells)
{
    const auto book = tessaly::workbook::Workbook::fromBytes(bytes);
    for (qsizetype sheet = 0; book && sheet < (*book)->sheetNames().size(); ++sheet) {
        const auto table = (*book)->readSheet(sheet);
        if (!table)
            continue;
        for (qsizetype column = 0; column < table->columnCount(); ++column)
            table->heading(column);
        std::vector<QStringView> values(std::size_t(table->columnCount()));
        const auto readRecord = [&](qsizetype record) { table->recordValues(record, values); };
        // A sparse sheet can span 65,536 x 256 cells: sample the records evenly, the last one included.
        const qsizetype cells = table->recordCount() * table->columnCount();
        const qsizetype step = std::max<qsizetype>(1, cells / 65536);
        for (qsizetype record = 0; record < table->recordCount(); record += step)
            readRecord(record);
        if (table->recordCount() > 0)
            readRecord(table->recordCount() - 1);
        if (cells <= composedCells) {
            if (const QString problem = composeInEveryCharset(**book, sheet, *table); !problem.isEmpty())
                return (*book)->sheetNames()[sheet] + QStringLiteral(": ") + problem;
        }
    }
    return {};
}
