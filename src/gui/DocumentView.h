#pragma once

#include <QAbstractScrollArea>
#include <QByteArray>
#include <QString>

#include <vector>

namespace tessaly {

// A read-only view for documents of hundreds of megabytes: it holds the text as UTF-8 with an index
// of every 64th line start, and lays out only the lines that are visible. All of the text is drawn
// in one Japanese-capable fixed-pitch font, so markup after kanji is not drawn from a fallback
// font. Text can be selected with the mouse (or all of it with Ctrl+A) and copied from the context
// menu or with Ctrl+C; the scroll keys move the view. Nothing edits the text.
class DocumentView : public QAbstractScrollArea {
    Q_OBJECT

public:
    explicit DocumentView(QWidget *parent = nullptr);

    void setText(const QString &text);
    void setUtf8(QByteArray text);
    QString text() const { return QString::fromUtf8(m_text); }
    // The document itself, shared rather than copied.
    const QByteArray &utf8() const { return m_text; }
    bool isEmpty() const { return m_text.isEmpty(); }

    qsizetype lineCount() const { return m_lineCount; }
    QString selectedText() const { return QString::fromUtf8(selectedUtf8()); }
    QByteArray selectedUtf8() const;
    void selectAll();
    void copy() const;

protected:
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void changeEvent(QEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void contextMenuEvent(QContextMenuEvent *event) override;

private:
    // A place in the text: a line, and a UTF-16 offset within it.
    struct Position {
        qsizetype line = 0;
        qsizetype column = 0;
        auto operator<=>(const Position &) const = default;
    };

    // The bytes of a line without its line end.
    QByteArrayView lineBytes(qsizetype line) const;
    QString lineText(qsizetype line) const { return QString::fromUtf8(lineBytes(line)); }
    Position positionAt(QPoint viewportPoint) const;
    int lineHeight() const;
    void updateScrollBars();
    void updateWidestLine();

    QByteArray m_text;
    std::vector<qsizetype> m_lineStarts; // of lines 0, 64, 128, ...
    qsizetype m_lineCount = 0;
    qsizetype m_widestLine = 0; // the line with the most half-width columns
    int m_widestLineWidth = 0; // in pixels, in the current font
    Position m_anchor;
    Position m_cursor;
    bool m_allSelected = false;
};

} // namespace tessaly
