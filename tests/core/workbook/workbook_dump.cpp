// Prints each named workbook's worksheets as one JSON line: names, column names and record texts,
// or the error text. The corpus tests compare this output with what xlrd, openpyxl and odfpy read.
#include "core/workbook/Workbook.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cstdio>

using tessaly::xls::SheetTable;
using tessaly::xls::Workbook;

namespace {

QJsonObject dumpTable(const SheetTable &table)
{
    QJsonArray columns;
    for (qsizetype column = 0; column < table.columnCount(); ++column)
        columns.append(table.columnName(column).toString());
    QJsonArray records;
    for (qsizetype record = 0; record < table.recordCount(); ++record) {
        QJsonArray values;
        for (qsizetype column = 0; column < table.columnCount(); ++column)
            values.append(table.value(record, column).toString());
        records.append(values);
    }
    return {{QStringLiteral("columns"), columns}, {QStringLiteral("records"), records}};
}

QJsonObject dumpBook(const QString &path)
{
    QJsonObject result{{QStringLiteral("file"), path}};
    QString error;
    const auto book = Workbook::open(path, &error);
    if (!book) {
        result.insert(QStringLiteral("error"), error);
        return result;
    }
    QJsonArray sheets;
    for (qsizetype index = 0; index < book->sheetNames().size(); ++index) {
        const auto table = book->readSheet(index, &error);
        QJsonObject sheet = table ? dumpTable(*table) : QJsonObject{{QStringLiteral("error"), error}};
        sheet.insert(QStringLiteral("name"), book->sheetNames()[index]);
        sheets.append(sheet);
    }
    result.insert(QStringLiteral("sheets"), sheets);
    return result;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    for (const QString &path : app.arguments().mid(1)) {
        const QByteArray line = QJsonDocument(dumpBook(path)).toJson(QJsonDocument::Compact);
        std::fwrite(line.constData(), 1, std::size_t(line.size()), stdout);
        std::fputc('\n', stdout);
    }
    return 0;
}
