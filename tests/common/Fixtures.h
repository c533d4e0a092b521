#pragma once

#include "core/workbook/Workbook.h"

#include <QFile>
#include <QMap>
#include <QStringList>

// A workbook of tests/data/xls.
inline QString fixture(const char *name)
{
    return QStringLiteral(TESSALY_TEST_DATA "/xls/") + QLatin1String(name);
}

// The headings of a .csv fixture (its first line; no heading holds a comma or a quote).
inline QStringList fixtureHeadings(const char *csvName)
{
    QFile csv(fixture(csvName));
    if (!csv.open(QIODevice::ReadOnly))
        qFatal("cannot open %s", csvName);
    return QString::fromUtf8(csv.readLine()).trimmed().split(u',');
}

// One worksheet of a workbook that the test relies on being readable.
inline tessaly::workbook::SheetTable readSheet(const QString &path, qsizetype index)
{
    const auto workbook = tessaly::workbook::Workbook::open(path);
    if (!workbook)
        qFatal("cannot open %s: %s", qPrintable(path), qPrintable(workbook.failure().message));
    auto table = (*workbook)->readSheet(index);
    if (!table)
        qFatal("cannot read sheet %lld: %s", qlonglong(index), qPrintable(table.failure().message));
    return std::move(*table);
}

// One worksheet read in bands of about `bandCells` cells, with the workbook they are read from.
struct SheetInBands {
    std::unique_ptr<tessaly::workbook::Workbook> workbook;
    std::unique_ptr<tessaly::workbook::SheetBands> bands;
};

inline SheetInBands readSheetInBands(const QString &path, qsizetype index, std::size_t bandCells)
{
    auto workbook = tessaly::workbook::Workbook::open(path);
    if (!workbook)
        qFatal("cannot open %s: %s", qPrintable(path), qPrintable(workbook.failure().message));
    auto bands = (*workbook)->readSheetInBands(index, bandCells);
    if (!bands)
        qFatal("cannot read sheet %lld: %s", qlonglong(index), qPrintable(bands.failure().message));
    return {std::move(*workbook), std::move(*bands)};
}

// A table as lines: the column names, then each record, values separated by '|'.
inline QStringList tableLines(const tessaly::workbook::SheetTable &table)
{
    QStringList out{table.headings().join(u'|')};
    std::vector<QStringView> values(std::size_t(table.columnCount()));
    for (qsizetype record = 0; record < table.recordCount(); ++record) {
        table.recordValues(record, values);
        QStringList texts;
        for (const QStringView value : values)
            texts.append(value.toString());
        out.append(texts.join(u'|'));
    }
    return out;
}

// The table that the bands make together, as tableLines gives it.
inline QStringList bandLines(tessaly::workbook::SheetBands &bands)
{
    QStringList lines = tableLines(bands.band());
    for (;;) {
        const tessaly::Result<bool> more = bands.nextBand();
        if (!more)
            return lines << more.failure().message;
        if (!*more)
            return lines;
        lines += tableLines(bands.band()).mid(1);
    }
}

// Every sheet of the book as name -> tableLines, or the error text under ""; read in bands of
// about `bandCells` cells when given.
inline QMap<QString, QStringList> readBook(const QString &path, std::size_t bandCells = 0)
{
    const auto book = tessaly::workbook::Workbook::open(path);
    if (!book)
        return {{QString(), {book.failure().message}}};
    QMap<QString, QStringList> sheets;
    for (qsizetype index = 0; index < (*book)->sheetNames().size(); ++index) {
        QStringList lines;
        if (bandCells > 0) {
            const auto bands = (*book)->readSheetInBands(index, bandCells);
            lines = bands ? bandLines(**bands) : QStringList{bands.failure().message};
        } else {
            const auto table = (*book)->readSheet(index);
            lines = table ? tableLines(*table) : QStringList{table.failure().message};
        }
        sheets.insert((*book)->sheetNames()[index], lines);
    }
    return sheets;
}
