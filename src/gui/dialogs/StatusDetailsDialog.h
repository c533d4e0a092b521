#pragma once

#include <QDialog>

#include <memory>

namespace Ui {
class dlgStatus;
}

namespace tessaly {

// Shows a copy of the status line in a scrollable area. Edits stay in the dialog and end with it.
class dlgStatus : public QDialog {
    Q_OBJECT

public:
    explicit dlgStatus(QWidget *owner);
    ~dlgStatus() override;

    void setStatusText(const QString &text);
    QString statusText() const;

private:
    void cmdClose_Click();

    std::unique_ptr<Ui::dlgStatus> m_ui;
};

} // namespace tessaly
