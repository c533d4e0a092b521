#pragma once

#include "gui/dialogs/SettingsDialog.h"

#include <memory>

namespace Ui {
class XmlSettingsDialog;
}

class QLineEdit;

namespace tessaly {

// The XML output settings: character set, root tag name and row tag name. A blank tag name is
// restored to its default when its field loses the focus; OK refuses a character set that no
// document can be written in.
class XmlSettingsDialog final : public SettingsDialog {
    Q_OBJECT

public:
    explicit XmlSettingsDialog(QWidget *owner);
    ~XmlSettingsDialog() override;

    void copyIn(const Settings &settings) override;
    void writeBack(Settings &settings) const override;

protected:
    bool acceptable() override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    std::unique_ptr<Ui::XmlSettingsDialog> m_ui;
};

} // namespace tessaly
