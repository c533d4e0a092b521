#pragma once

#include "core/workbook/Workbook.h"

#include <algorithm>

// Opens a workbook from bytes and reads its worksheets' names and cells, as a conversion would.
// Shared by the libFuzzer harness and the test that replays the inputs it once failed on.
inline void exerciseWorkbook(const QByteArray &bytes)
{
    QString error;
    const auto book = tessaly::xls::Workbook::fromBytes(bytes, &error);
    for (qsizetype sheet = 0; book && sheet < book->sheetNames().size(); ++sheet) {
        const auto table = book->readSheet(sheet, &error);
        if (!table)
            continue;
        for (qsizetype column = 0; column < table->columnCount(); ++column)
            table->columnName(column);
        const auto readRecord = [&table](qsizetype record) {
            for (qsizetype column = 0; column < table->columnCount(); ++column)
                table->value(record, column);
        };
        // A sparse sheet can span 65,536 x 256 cells: sample the records evenly, the last one included.
        const qsizetype step = std::max<qsizetype>(1, table->recordCount() * table->columnCount() / 65536);
        for (qsizetype record = 0; record < table->recordCount(); record += step)
            readRecord(record);
        if (table->recordCount() > 0)
            readRecord(table->recordCount() - 1);
    }
}
