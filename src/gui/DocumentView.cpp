#include "gui/DocumentView.h"

#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QFontDatabase>
#include <QFontInfo>
#include <QKeyEvent>
#include <QMenu>
#include <QMimeData>
#include <QPainter>
#include <QScrollBar>
#include <QTextLayout>

#include <cmath>
#include <cstring>

namespace tessaly {

namespace {

constexpr int kMargin = 4;
constexpr qsizetype kIndexStep = 64; // lines per entry of the line index

// The font holding kana, kanji and ASCII alike: one font for the whole text, so that Qt's font
// merging never draws the markup after Japanese text from another font.
QFont documentFont(const QFont &base)
{
    QFont font = base;
    font.setFamilies({QStringLiteral("IPAGothic")});
    font.setStyleHint(QFont::Monospace);
    if (QFontInfo(font).family() == u"IPAGothic")
        return font;
    QFont fixed = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    fixed.setPointSizeF(base.pointSizeF());
    return fixed;
}

// The width of a UTF-8 line in half-width columns, as a fixed-pitch Japanese font draws it:
// full width for all but ASCII and half-width katakana (EF BD A1 to EF BE 9F).
qsizetype columnsOf(QByteArrayView line)
{
    qsizetype columns = 0;
    for (qsizetype i = 0; i < line.size(); ++i) {
        const auto byte = static_cast<unsigned char>(line[i]);
        if (byte < 0x80) {
            ++columns;
        } else if (byte >= 0xC0) {
            const bool halfWidthKana = byte == 0xEF && i + 2 < line.size()
                                       && ((static_cast<unsigned char>(line[i + 1]) == 0xBD
                                            && static_cast<unsigned char>(line[i + 2]) >= 0xA1)
                                           || static_cast<unsigned char>(line[i + 1]) == 0xBE);
            columns += halfWidthKana ? 1 : 2;
        }
    }
    return columns;
}

QTextLayout *layOut(QTextLayout &layout)
{
    QTextOption option;
    option.setWrapMode(QTextOption::NoWrap);
    layout.setTextOption(option);
    layout.beginLayout();
    layout.createLine();
    layout.endLayout();
    return &layout;
}

} // namespace

DocumentView::DocumentView(QWidget *parent)
    : QAbstractScrollArea(parent)
{
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    viewport()->setBackgroundRole(QPalette::Base);
    viewport()->setAutoFillBackground(true);
    viewport()->setCursor(Qt::IBeamCursor);
    setUtf8({});
    setFont(documentFont(font()));
}

void DocumentView::setText(const QString &text)
{
    setUtf8(text.toUtf8());
}

void DocumentView::setUtf8(QByteArray text)
{
    m_text = std::move(text);
    m_lineStarts.clear();
    m_lineCount = 0;
    m_widestLine = 0;
    qsizetype widestColumns = 0;
    const char *data = m_text.constData();
    const qsizetype size = m_text.size();
    for (qsizetype start = 0;;) {
        if (m_lineCount % kIndexStep == 0)
            m_lineStarts.push_back(start);
        const auto *newline = static_cast<const char *>(std::memchr(data + start, '\n', size - start));
        const qsizetype end = newline ? newline - data : size;
        // A line's byte count bounds its width, so only a few lines are measured.
        if (end - start > widestColumns) {
            const qsizetype columns = columnsOf(QByteArrayView(data + start, end - start));
            if (columns > widestColumns) {
                widestColumns = columns;
                m_widestLine = m_lineCount;
            }
        }
        ++m_lineCount;
        // A text ending in a line break has no further line to show.
        if (!newline || end + 1 == size)
            break;
        start = end + 1;
    }
    m_anchor = m_cursor = {};
    m_allSelected = false;
    verticalScrollBar()->setValue(0);
    horizontalScrollBar()->setValue(0);
    updateWidestLine();
    viewport()->update();
}

QByteArrayView DocumentView::lineBytes(qsizetype line) const
{
    const char *data = m_text.constData();
    const qsizetype size = m_text.size();
    qsizetype start = m_lineStarts[line / kIndexStep];
    for (qsizetype skip = line % kIndexStep; skip > 0; --skip)
        start = static_cast<const char *>(std::memchr(data + start, '\n', size - start)) - data + 1;
    const auto *newline = static_cast<const char *>(std::memchr(data + start, '\n', size - start));
    qsizetype end = newline ? newline - data : size;
    if (end > start && data[end - 1] == '\r')
        --end;
    return QByteArrayView(data + start, end - start);
}

int DocumentView::lineHeight() const
{
    return std::max(1, fontMetrics().lineSpacing());
}

void DocumentView::updateWidestLine()
{
    QTextLayout layout(lineText(m_widestLine), font());
    m_widestLineWidth = int(std::ceil(layOut(layout)->lineAt(0).naturalTextWidth()));
    updateScrollBars();
}

void DocumentView::updateScrollBars()
{
    const int visibleLines = std::max(1, viewport()->height() / lineHeight());
    const qsizetype lastTop = std::max<qsizetype>(0, m_lineCount - visibleLines);
    verticalScrollBar()->setRange(0, int(std::min<qsizetype>(lastTop, INT_MAX)));
    verticalScrollBar()->setPageStep(visibleLines);
    horizontalScrollBar()->setRange(0, std::max(0, m_widestLineWidth + 2 * kMargin - viewport()->width()));
    horizontalScrollBar()->setPageStep(viewport()->width());
    horizontalScrollBar()->setSingleStep(fontMetrics().averageCharWidth() * 4);
}

void DocumentView::paintEvent(QPaintEvent *)
{
    QPainter painter(viewport());
    const auto [selectionStart, selectionEnd] = std::minmax(m_anchor, m_cursor);
    QTextCharFormat selected;
    selected.setBackground(palette().highlight());
    selected.setForeground(palette().highlightedText());
    const int x = kMargin - horizontalScrollBar()->value();
    int y = 0;
    for (qsizetype line = verticalScrollBar()->value(); line < m_lineCount && y < viewport()->height(); ++line, y += lineHeight()) {
        QTextLayout layout(lineText(line), font());
        QList<QTextLayout::FormatRange> selections;
        if (selectionStart != selectionEnd && line >= selectionStart.line && line <= selectionEnd.line) {
            const qsizetype from = line == selectionStart.line ? selectionStart.column : 0;
            const qsizetype to = line == selectionEnd.line ? selectionEnd.column : layout.text().size() + 1;
            selections.append({int(from), int(to - from), selected});
        }
        layOut(layout)->draw(&painter, QPointF(x, y), selections);
    }
}

DocumentView::Position DocumentView::positionAt(QPoint point) const
{
    const qsizetype line = std::clamp<qsizetype>(verticalScrollBar()->value() + point.y() / lineHeight(), 0, m_lineCount - 1);
    QTextLayout layout(lineText(line), font());
    const int x = point.x() - kMargin + horizontalScrollBar()->value();
    return {line, layOut(layout)->lineAt(0).xToCursor(x)};
}

void DocumentView::mousePressEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton)
        return;
    m_allSelected = false;
    m_anchor = m_cursor = positionAt(event->position().toPoint());
    viewport()->update();
}

void DocumentView::mouseMoveEvent(QMouseEvent *event)
{
    if (!(event->buttons() & Qt::LeftButton))
        return;
    m_cursor = positionAt(event->position().toPoint());
    viewport()->update();
}

// The selection's bytes straight from the text, so that copying a whole large document takes one
// copy of its bytes at most.
QByteArray DocumentView::selectedUtf8() const
{
    if (m_allSelected)
        return m_text;
    const auto [start, end] = std::minmax(m_anchor, m_cursor);
    if (start == end)
        return {};
    // The positions count UTF-16 units; the UTF-8 offsets within their lines are worked out.
    const auto byteOffset = [this](Position position) {
        const QByteArrayView line = lineBytes(position.line);
        const qsizetype lineStart = line.begin() - m_text.constData();
        return lineStart + QString::fromUtf8(line).left(position.column).toUtf8().size();
    };
    const qsizetype from = byteOffset(start);
    return m_text.sliced(from, byteOffset(end) - from);
}

// All of the text, its last line end included, so that copying shares the document's bytes.
void DocumentView::selectAll()
{
    m_allSelected = true;
    m_anchor = {};
    m_cursor = {m_lineCount - 1, lineText(m_lineCount - 1).size()};
    viewport()->update();
}

// The clipboard gets the UTF-8 bytes as they are; a program that pastes them has them converted
// when it asks.
void DocumentView::copy() const
{
    QByteArray selection = selectedUtf8();
    if (selection.isEmpty())
        return;
    auto *mime = new QMimeData;
    mime->setData(QStringLiteral("text/plain;charset=utf-8"), selection);
    mime->setData(QStringLiteral("text/plain"), std::move(selection));
    QApplication::clipboard()->setMimeData(mime);
}

void DocumentView::keyPressEvent(QKeyEvent *event)
{
    if (event->matches(QKeySequence::SelectAll)) {
        selectAll();
    } else if (event->matches(QKeySequence::Copy)) {
        copy();
    } else if (event->matches(QKeySequence::MoveToStartOfDocument) || event->key() == Qt::Key_Home) {
        verticalScrollBar()->triggerAction(QAbstractSlider::SliderToMinimum);
        horizontalScrollBar()->triggerAction(QAbstractSlider::SliderToMinimum);
    } else if (event->matches(QKeySequence::MoveToEndOfDocument) || event->key() == Qt::Key_End) {
        verticalScrollBar()->triggerAction(QAbstractSlider::SliderToMaximum);
    } else {
        // The arrows and the page keys scroll as the scroll area does; every other key is none of
        // the view's business and goes to the window.
        const int key = event->key();
        const bool scrollKey = key == Qt::Key_Up || key == Qt::Key_Down || key == Qt::Key_Left || key == Qt::Key_Right
                               || key == Qt::Key_PageUp || key == Qt::Key_PageDown;
        if (!scrollKey) {
            event->ignore();
            return;
        }
        QAbstractScrollArea::keyPressEvent(event);
    }
    event->accept();
}

void DocumentView::contextMenuEvent(QContextMenuEvent *event)
{
    QMenu menu(this);
    QAction *copyAction = menu.addAction(QStringLiteral("コピー"), this, &DocumentView::copy);
    copyAction->setEnabled(m_allSelected || m_anchor != m_cursor);
    menu.addAction(QStringLiteral("すべて選択"), this, &DocumentView::selectAll);
    menu.exec(event->globalPos());
}

void DocumentView::resizeEvent(QResizeEvent *event)
{
    QAbstractScrollArea::resizeEvent(event);
    updateScrollBars();
}

void DocumentView::changeEvent(QEvent *event)
{
    QAbstractScrollArea::changeEvent(event);
    if (event->type() == QEvent::FontChange)
        updateWidestLine();
}

} // namespace tessaly
