#include "gui/dialogs/XmlSettingsDialog.h"

#include "ui_XmlSettingsDialog.h"

#include <QFocusEvent>

namespace tessaly {

dlgSetting::dlgSetting(QWidget *owner)
    : SettingsDialog(owner)
    , m_ui(std::make_unique<Ui::dlgSetting>())
{
    m_ui->setupUi(this);
    setUpButtons(m_ui->OKButton, m_ui->CancelButton);
    copyIn(Settings{});
    for (QLineEdit *field : {m_ui->txtEncoding, m_ui->txtRowset, m_ui->txtRow})
        connect(field, &QLineEdit::textChanged, this, &dlgSetting::markChanged);
    m_ui->txtRowset->installEventFilter(this);
    m_ui->txtRow->installEventFilter(this);
}

dlgSetting::~dlgSetting() = default;

void dlgSetting::copyIn(const Settings &settings)
{
    m_ui->txtEncoding->setText(settings.charset);
    m_ui->txtRowset->setText(settings.rowset);
    m_ui->txtRow->setText(settings.row);
}

void dlgSetting::writeBack(Settings &settings) const
{
    settings.charset = m_ui->txtEncoding->text();
    settings.rowset = m_ui->txtRowset->text();
    settings.row = m_ui->txtRow->text();
}

// txtRowset_LostFocus and txtRow_LostFocus. A context menu or another window taking the focus
// is not the user leaving the field.
bool dlgSetting::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::FocusOut) {
        const Qt::FocusReason reason = static_cast<QFocusEvent *>(event)->reason();
        if (reason != Qt::PopupFocusReason && reason != Qt::ActiveWindowFocusReason) {
            const Settings defaults;
            if (watched == m_ui->txtRowset)
                m_ui->txtRowset->setText(restoreBlankName(m_ui->txtRowset->text(), defaults.rowset));
            else if (watched == m_ui->txtRow)
                m_ui->txtRow->setText(restoreBlankName(m_ui->txtRow->text(), defaults.row));
        }
    }
    return SettingsDialog::eventFilter(watched, event);
}

} // namespace tessaly
