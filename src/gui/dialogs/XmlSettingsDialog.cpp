#include "gui/dialogs/XmlSettingsDialog.h"

#include "core/document/DocumentEncoding.h"

#include "ui_XmlSettingsDialog.h"

#include <QFocusEvent>

namespace tessaly {

XmlSettingsDialog::XmlSettingsDialog(QWidget *owner)
    : SettingsDialog(owner)
    , m_ui(std::make_unique<Ui::XmlSettingsDialog>())
{
    m_ui->setupUi(this);
    setUpButtons(m_ui->okButton, m_ui->cancelButton);
    copyIn(Settings{});
    for (QLineEdit *field : {m_ui->charsetEdit, m_ui->rowsetEdit, m_ui->rowEdit})
        connect(field, &QLineEdit::textChanged, this, &XmlSettingsDialog::markChanged);
    connect(m_ui->charsetEdit, &QLineEdit::textChanged, m_ui->statusLabel, &QLabel::clear);
    // Room for a refusal: the fixed-size dialog does not grow with a wrapped label.
    m_ui->statusLabel->setMinimumHeight(3 * m_ui->statusLabel->fontMetrics().lineSpacing());
    m_ui->rowsetEdit->installEventFilter(this);
    m_ui->rowEdit->installEventFilter(this);
}

XmlSettingsDialog::~XmlSettingsDialog() = default;

void XmlSettingsDialog::copyIn(const Settings &settings)
{
    m_ui->charsetEdit->setText(settings.charset);
    m_ui->rowsetEdit->setText(settings.rowset);
    m_ui->rowEdit->setText(settings.row);
}

void XmlSettingsDialog::writeBack(Settings &settings) const
{
    settings.charset = m_ui->charsetEdit->text();
    settings.rowset = m_ui->rowsetEdit->text();
    settings.row = m_ui->rowEdit->text();
}

// Refused here rather than when a save or a send fails later.
bool XmlSettingsDialog::acceptable()
{
    const DocumentCharset charset(m_ui->charsetEdit->text());
    if (charset.isValid())
        return true;
    m_ui->statusLabel->setText(charset.unknownText());
    m_ui->charsetEdit->setFocus(Qt::OtherFocusReason);
    m_ui->charsetEdit->selectAll();
    return false;
}

// A blank tag name is restored when the user leaves its field.
bool XmlSettingsDialog::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::FocusOut) {
        if (leavingRestoresBlankName(static_cast<QFocusEvent *>(event)->reason())) {
            const Settings defaults;
            if (watched == m_ui->rowsetEdit)
                m_ui->rowsetEdit->setText(restoreBlankName(m_ui->rowsetEdit->text(), defaults.rowset));
            else if (watched == m_ui->rowEdit)
                m_ui->rowEdit->setText(restoreBlankName(m_ui->rowEdit->text(), defaults.row));
        }
    }
    return SettingsDialog::eventFilter(watched, event);
}

} // namespace tessaly
