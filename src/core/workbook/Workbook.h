#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QStringView>

#include <memory>
#include <optional>
#include <vector>

namespace tessaly::xls {

class ContinuedReader;
class SheetReader;

// One worksheet presented as a table: mapped column names, then records in sheet order.
class SheetTable {
public:
    qsizetype columnCount() const { return qsizetype(columnNames_.size()); }
    qsizetype recordCount() const { return qsizetype(recordStarts_.size()) - 1; }
    // Already a valid XML name.
    QStringView columnName(qsizetype column) const;
    // The cell's text; empty for an empty cell.
    QStringView value(qsizetype record, qsizetype column) const;

private:
    friend class SheetReader;

    // A cell. Its text lies in the table's own text, or in the workbook's shared strings when the
    // offset carries kSharedText. (No bit-fields: writing one reads the fresh page first, which
    // doubles the page faults of a large sheet.)
    struct Entry {
        quint32 offset;
        quint32 length;
        quint16 row;
        quint16 column; // counted from the table's first column
    };
    static constexpr quint32 kSharedText = 0x80000000u;
    QStringView textOf(const Entry &entry) const;

    QString ownText_;
    QString sharedText_;
    QStringList columnNames_;
    std::vector<Entry> entries_;              // the heading's cells, then record by record, sorted by column
    std::vector<quint32> recordStarts_ = {0}; // index of each record's first entry, plus the end
};

class Workbook {
public:
    ~Workbook();
    // Opens the .xls file; on failure returns nullptr and sets *errorString to a Japanese description.
    static std::unique_ptr<Workbook> open(const QString &path, QString *errorString);
    // The same from the file's bytes already in memory.
    static std::unique_ptr<Workbook> fromBytes(const QByteArray &file, QString *errorString);

    // Worksheets only, in workbook order, hidden ones included, names exact.
    const QStringList &sheetNames() const { return sheetNames_; }
    // Reads one worksheet; std::nullopt and a Japanese *errorString on failure.
    std::optional<SheetTable> readSheet(qsizetype index, QString *errorString) const;

private:
    friend class SheetReader;
    Workbook() = default;
    bool readGlobals(QString *errorString);
    void readSharedStrings(ContinuedReader &text);

    QByteArray stream_;
    bool biff8_ = true;
    bool uses1904_ = false;
    quint16 codePage_ = 1252;
    QString sharedText_;
    std::vector<std::pair<quint32, quint32>> sharedStrings_; // offset and length in sharedText_
    std::vector<bool> xfIsDate_;
    QStringList sheetNames_;
    std::vector<quint32> sheetOffsets_;
};

} // namespace tessaly::xls
