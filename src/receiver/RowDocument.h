#pragma once

#include "core/Result.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <pugixml.hpp>

#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tessaly::receiver {

// The rows of an insert document: a root element, one element per row, one element per column
// named after its heading with the _xHHHH_ rule. Values point into the parsed document.
class RowDocument {
public:
    // Excel's limit; a document Tessaly makes never has more columns.
    static constexpr qsizetype kMaxColumns = 16384;
    // Each row is inserted with every column, so rows that leave most columns out would cost far
    // more than their bytes: at most this many cells (rows x columns) per byte of the document.
    // A document Tessaly makes has one element of at least four bytes per cell.
    static constexpr qsizetype kMaxCellsPerByte = 64;

    // Parses the UTF-8 document in place, in time linear in its size. A DOCTYPE is refused, so
    // nothing is ever expanded; so is anything the rows would not carry whole (text outside the
    // columns, a second root, an unknown entity, a reference to a character XML does not allow).
    // A failure names the line.
    static Result<RowDocument> parse(QByteArray documentUtf8, bool emptyAsText);

    // The column headings in order of first appearance; a heading repeated inside a row is a
    // column of its own each time.
    const QStringList &headings() const { return m_headings; }
    qsizetype columnCount() const { return m_headings.size(); }
    qsizetype rowCount() const { return m_rowCount; }
    // The row's values by column into `values` (resized to columnCount()): UTF-8 text,
    // NUL-terminated; nullptr for NULL (an empty or missing element).
    void fillRow(qsizetype row, std::vector<const char *> &values) const;

    // Distinct column names for the headings: a repeated heading gets "_2", "_3", ... (the
    // smallest suffix that no heading and no earlier column uses).
    QStringList distinctNames() const;

private:
    friend class RowReader;
    RowDocument() = default;
    // Checks the text and parses it, up to the root element.
    Outcome load();

    QByteArray m_text;
    std::unique_ptr<pugi::xml_document> m_document;
    std::deque<std::string> m_joinedValues; // values made of several text and CDATA parts
    QStringList m_headings;
    std::vector<int> m_occurrences; // 1 for a heading's first column in a row, 2 for its second, ...
    qsizetype m_rowCount = 0;
    // The values of every row's elements in document order, row r's from m_rows[r].firstValue
    // (and a last entry past the last row): a row that leaves columns out costs nothing for them.
    // A row of the columns in order (nearly every row) needs no more; for another, m_columns holds
    // each value's column from m_rows[r].firstColumn.
    static constexpr size_t kInOrder = SIZE_MAX;
    struct RowSpan {
        size_t firstValue;
        size_t firstColumn;
    };
    std::vector<RowSpan> m_rows;
    std::vector<const char *> m_values;
    std::vector<quint32> m_columns;
};

} // namespace tessaly::receiver
