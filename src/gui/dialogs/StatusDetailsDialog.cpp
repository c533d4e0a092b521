#include "gui/dialogs/StatusDetailsDialog.h"

#include "gui/dialogs/DialogFlags.h"

#include "ui_StatusDetailsDialog.h"

#include <QApplication>
#include <QMenu>

#include <algorithm>

namespace tessaly {

StatusDetailsDialog::StatusDetailsDialog(QWidget *owner)
    : QDialog(owner, kFixedDialogFlags)
    , m_ui(std::make_unique<Ui::StatusDetailsDialog>())
{
    m_ui->setupUi(this);
    // The area reads as a panel, not as an input field: the background is the menus' colour.
    QPalette palette = m_ui->statusTextEdit->palette();
    palette.setColor(QPalette::Base, QApplication::palette("QMenu").color(QPalette::Window));
    m_ui->statusTextEdit->setPalette(palette);
    connect(m_ui->closeButton, &QPushButton::clicked, this, &QDialog::reject);
    m_ui->closeButton->setFocus(Qt::OtherFocusReason);
}

StatusDetailsDialog::~StatusDetailsDialog() = default;

namespace {

// Word wrapping a stretch without break opportunities takes time that grows with the square of its
// length: a one-line answer of a megabyte took minutes. Such text wraps at any character instead.
constexpr qsizetype kLongestWordWrapped = 20000;

qsizetype longestUnbrokenRun(QStringView text)
{
    qsizetype longest = 0;
    qsizetype run = 0;
    for (const QChar character : text) {
        run = character.isSpace() ? 0 : run + 1;
        longest = std::max(longest, run);
    }
    return longest;
}

} // namespace

void StatusDetailsDialog::setStatusText(const QString &text)
{
    m_ui->statusTextEdit->setWordWrapMode(
        longestUnbrokenRun(text) > kLongestWordWrapped ? QTextOption::WrapAnywhere : QTextOption::WrapAtWordBoundaryOrAnywhere);
    m_ui->statusTextEdit->setPlainText(text);
}

QString StatusDetailsDialog::statusText() const
{
    return m_ui->statusTextEdit->toPlainText();
}

} // namespace tessaly
