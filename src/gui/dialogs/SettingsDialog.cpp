#include "gui/dialogs/SettingsDialog.h"

#include "gui/dialogs/DialogFlags.h"

#include <QKeyEvent>
#include <QLayout>
#include <QPushButton>

namespace tessaly {

SettingsDialog::SettingsDialog(QWidget *owner)
    : QDialog(owner, kFixedDialogFlags)
{
}

void SettingsDialog::setUpButtons(QPushButton *okButton, QPushButton *cancelButton)
{
    layout()->setSizeConstraint(QLayout::SetFixedSize);
    m_okButton = okButton;
    for (QPushButton *button : {okButton, cancelButton}) {
        button->setAutoDefault(false);
        button->setDefault(false);
    }
    connect(okButton, &QPushButton::clicked, this, &SettingsDialog::confirm);
    connect(cancelButton, &QPushButton::clicked, this, &QDialog::reject);
    okButton->setFocus(Qt::OtherFocusReason);
}

// An access key presses the button without moving the focus; taking the focus first lets the
// field that had it run its focus-loss rule before its text is read.
void SettingsDialog::confirm()
{
    m_okButton->setFocus(Qt::OtherFocusReason);
    if (acceptable())
        accept();
}

// Escape discards as Cancel does, and Enter presses only a button that has the focus, as on
// Windows; in a field it does nothing.
void SettingsDialog::keyPressEvent(QKeyEvent *event)
{
    const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
    if (auto *button = qobject_cast<QPushButton *>(focusWidget()); enter && button) {
        button->click();
        event->accept();
        return;
    }
    if (enter) {
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

} // namespace tessaly
