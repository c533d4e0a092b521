#pragma once

#include "gui/dialogs/SettingsDialog.h"

#include <memory>

namespace Ui {
class NetworkSettingsDialog;
}

namespace tessaly {

// The network settings: servlet URL, protocol, proxy, user name, password and time-out. The
// dialog's own status line asks for a URL while the URL field is blank, and the time-out field is
// kept within 1 to 999 together with its spin control; OK refuses a time-out a send would refuse,
// until the value changes. The password shows as dots unless the user asks to see it.
class NetworkSettingsDialog final : public SettingsDialog {
    Q_OBJECT

public:
    explicit NetworkSettingsDialog(QWidget *owner);
    ~NetworkSettingsDialog() override;

    void copyIn(const Settings &settings) override;
    void writeBack(Settings &settings) const override;

protected:
    bool acceptable() override;

private:
    void onUrlEdited();
    void showUrlHint();
    void keepTimeoutInRange();
    void showSpinTimeout();
    void selectProtocolEntry(int entry);

    std::unique_ptr<Ui::NetworkSettingsDialog> m_ui;
    // The entry chosen from the protocol list; typing into the box's text part leaves none (-1).
    int m_protocolEntry = -1;
};

} // namespace tessaly
