#pragma once

#include <QAbstractScrollArea>
#include <QList>
#include <QString>

namespace tessaly {

// A read-only text view for documents of millions of characters: it indexes the line starts once
// and lays out only the lines that are visible, so showing a large document costs one pass.
class DocumentView : public QAbstractScrollArea {
    Q_OBJECT

public:
    explicit DocumentView(QWidget *parent = nullptr);

    void setText(const QString &text);
    const QString &text() const { return m_text; }

protected:
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void changeEvent(QEvent *event) override;

private:
    QStringView line(qsizetype index) const;
    void updateScrollBars();

    QString m_text;
    QList<qsizetype> m_lineStarts;
    qsizetype m_longestLine = 0;
};

} // namespace tessaly
