#pragma once

#include "core/settings/Settings.h"

#include <QDialog>

class QPushButton;

namespace tessaly {

// What the two settings dialogs share. They edit copies of settings: copyIn fills the fields, and
// `changed` records any change of a field's content after creation, the copy-in included. OK
// confirms; Cancel, the close box and Escape discard. Neither button is the default, so Enter in a
// field does nothing.
class SettingsDialog : public QDialog {
    Q_OBJECT

public:
    // Writes the dialog's settings into its fields; every write that alters a field is a change.
    virtual void copyIn(const Settings &settings) = 0;
    // Writes the fields back into the dialog's settings of the record, as they stand.
    virtual void writeBack(Settings &settings) const = 0;

    bool changed() const { return m_changed; }

protected:
    explicit SettingsDialog(QWidget *owner);

    // Completes the form once its widgets exist: a fixed size, the two buttons wired, the focus on OK.
    void setUpButtons(QPushButton *okButton, QPushButton *cancelButton);
    void markChanged() { m_changed = true; }
    // Whether OK may close the dialog; a dialog that refuses says why in its own fields.
    virtual bool acceptable() { return true; }

    void keyPressEvent(QKeyEvent *event) override;

private:
    void confirm();

    QPushButton *m_okButton = nullptr;
    bool m_changed = false;
};

} // namespace tessaly
