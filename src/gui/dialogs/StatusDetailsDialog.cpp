#include "gui/dialogs/StatusDetailsDialog.h"

#include "gui/dialogs/DialogFlags.h"

#include "ui_StatusDetailsDialog.h"

#include <QApplication>
#include <QMenu>

#include <algorithm>

namespace tessaly {

dlgStatus::dlgStatus(QWidget *owner)
    : QDialog(owner, kFixedDialogFlags)
    , m_ui(std::make_unique<Ui::dlgStatus>())
{
    m_ui->setupUi(this);
    // The area reads as a panel, not as an input field: the background is the menus' colour.
    QPalette palette = m_ui->txtStatus->palette();
    palette.setColor(QPalette::Base, QApplication::palette("QMenu").color(QPalette::Window));
    m_ui->txtStatus->setPalette(palette);
    connect(m_ui->cmdClose, &QPushButton::clicked, this, &dlgStatus::cmdClose_Click);
    m_ui->cmdClose->setFocus(Qt::OtherFocusReason);
}

dlgStatus::~dlgStatus() = default;

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

void dlgStatus::setStatusText(const QString &text)
{
    m_ui->txtStatus->setWordWrapMode(longestUnbrokenRun(text) > kLongestWordWrapped
                                         ? QTextOption::WrapAnywhere
                                         : QTextOption::WrapAtWordBoundaryOrAnywhere);
    m_ui->txtStatus->setPlainText(text);
}

QString dlgStatus::statusText() const
{
    return m_ui->txtStatus->toPlainText();
}

void dlgStatus::cmdClose_Click()
{
    reject();
}

} // namespace tessaly
