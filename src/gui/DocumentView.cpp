#include "gui/DocumentView.h"

#include <QEvent>
#include <QPainter>
#include <QScrollBar>

namespace tessaly {

namespace {
constexpr int kMargin = 4;
}

DocumentView::DocumentView(QWidget *parent)
    : QAbstractScrollArea(parent)
{
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    viewport()->setBackgroundRole(QPalette::Base);
    viewport()->setAutoFillBackground(true);
    setText({});
}

void DocumentView::setText(const QString &text)
{
    m_text = text;
    m_lineStarts.clear();
    m_lineStarts.append(0);
    m_longestLine = 0;
    for (qsizetype i = 0; i < m_text.size(); ++i) {
        if (m_text.at(i) == u'\n') {
            m_longestLine = std::max(m_longestLine, i - m_lineStarts.last());
            m_lineStarts.append(i + 1);
        }
    }
    m_longestLine = std::max(m_longestLine, m_text.size() - m_lineStarts.last());
    // A text ending in a line break has no further line to show.
    if (m_lineStarts.size() > 1 && m_lineStarts.last() == m_text.size())
        m_lineStarts.removeLast();
    verticalScrollBar()->setValue(0);
    horizontalScrollBar()->setValue(0);
    updateScrollBars();
    viewport()->update();
}

QStringView DocumentView::line(qsizetype index) const
{
    const qsizetype begin = m_lineStarts.at(index);
    qsizetype end = index + 1 < m_lineStarts.size() ? m_lineStarts.at(index + 1) : m_text.size();
    while (end > begin && (m_text.at(end - 1) == u'\n' || m_text.at(end - 1) == u'\r'))
        --end;
    return QStringView(m_text).mid(begin, end - begin);
}

void DocumentView::updateScrollBars()
{
    const QFontMetrics metrics(font());
    const int visibleLines = std::max(1, viewport()->height() / metrics.lineSpacing());
    const qsizetype lastTop = std::max<qsizetype>(0, m_lineStarts.size() - visibleLines);
    verticalScrollBar()->setRange(0, int(std::min<qsizetype>(lastTop, INT_MAX)));
    verticalScrollBar()->setPageStep(visibleLines);
    // The width of the widest line is estimated from its length, so no line is measured twice.
    const qint64 widest = qint64(m_longestLine) * metrics.maxWidth() + 2 * kMargin;
    horizontalScrollBar()->setRange(0, int(std::clamp<qint64>(widest - viewport()->width(), 0, INT_MAX)));
    horizontalScrollBar()->setPageStep(viewport()->width());
    horizontalScrollBar()->setSingleStep(metrics.averageCharWidth() * 4);
}

void DocumentView::paintEvent(QPaintEvent *)
{
    QPainter painter(viewport());
    const QFontMetrics metrics(font());
    const int spacing = metrics.lineSpacing();
    const int x = kMargin - horizontalScrollBar()->value();
    int y = metrics.ascent();
    for (qsizetype index = verticalScrollBar()->value();
         index < m_lineStarts.size() && y - metrics.ascent() < viewport()->height(); ++index, y += spacing) {
        painter.drawText(x, y, line(index).toString());
    }
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
        updateScrollBars();
}

} // namespace tessaly
