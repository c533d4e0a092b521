// Prints each named workbook's worksheets as one JSON line: names, column names and record texts,
// or the error text. The corpus tests compare this output with what xlrd, openpyxl and odfpy read.
#include "core/workbook/Workbook.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cstdio>

using namespace tessaly::workbook;

static QJsonObject dumpTable(const SheetTable &table)
{
    QJsonArray columns;
    for (qsizetype column = 0; column < table.columnCount(); ++column)
        columns.append(table.heading(column).toString());
    QJsonArray records;
    std::vector<QStringView> values(std::size_t(table.columnCount()));
    for (qsizetype record = 0; record < table.recordCount(); ++record) {
        table.recordValues(record, values);
        QJsonArray texts;
        for (const QStringView value : values)
            texts.append(value.toString());
        records.append(texts);
    }
    return {{u"columns"_qs, columns}, {u"records"_qs, records}};
}

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    for (const QString &path : app.arguments().mid(1)) {
        const auto book = Workbook::open(path);
        QJsonArray sheets;
        for (qsizetype index = 0; book && index < (*book)->sheetNames().size(); ++index) {
            const auto table = (*book)->readSheet(index);
            QJsonObject sheet = table ? dumpTable(*table) : QJsonObject{{u"error"_qs, table.failure().message}};
            sheet.insert(u"name"_qs, (*book)->sheetNames()[index]);
            sheets.append(sheet);
        }
        QJsonObject result{{u"file"_qs, path}};
        result.insert(book ? u"sheets"_qs : u"error"_qs, book ? QJsonValue(sheets) : QJsonValue(book.failure().message));
        std::puts(QJsonDocument(result).toJson(QJsonDocument::Compact).constData());
    }
    return 0;
}
