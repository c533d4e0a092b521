#pragma once

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
    // Parses the UTF-8 document in place. A DOCTYPE is refused, so nothing is ever expanded.
    // On failure returns nothing and sets *error to a Japanese text naming the place.
    static std::optional<RowDocument> parse(QByteArray documentUtf8, bool emptyAsText, QString *error);

    // The column headings in order of first appearance; a heading repeated inside a row is a
    // column of its own each time.
    const QStringList &headings() const { return m_headings; }
    qsizetype columnCount() const { return m_headings.size(); }
    qsizetype rowCount() const { return m_rowCount; }
    // UTF-8 text, NUL-terminated; nullptr for NULL (an empty or missing element).
    const char *value(qsizetype row, qsizetype column) const { return m_cells[size_t(row * columnCount() + column)]; }

    // Distinct column names for the headings: a repeated heading gets "_2", "_3", ... (the
    // smallest suffix that no heading and no earlier column uses).
    QStringList distinctNames() const;

private:
    RowDocument() = default;

    QByteArray m_text;
    std::unique_ptr<pugi::xml_document> m_document;
    std::deque<std::string> m_joinedValues; // values made of several text and CDATA parts
    QStringList m_headings;
    std::vector<int> m_occurrences; // 1 for a heading's first column in a row, 2 for its second, ...
    qsizetype m_rowCount = 0;
    std::vector<const char *> m_cells;
};

} // namespace tessaly::receiver
