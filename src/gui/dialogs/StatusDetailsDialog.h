#pragma once

#include <QDialog>

#include <memory>

namespace Ui {
class StatusDetailsDialog;
}

namespace tessaly {

// Shows a copy of the status line in a scrollable area. Edits stay in the dialog and end with it.
class StatusDetailsDialog : public QDialog {
    Q_OBJECT

public:
    explicit StatusDetailsDialog(QWidget *owner);
    ~StatusDetailsDialog() override;

    void setStatusText(const QString &text);
    QString statusText() const;

private:
    std::unique_ptr<Ui::StatusDetailsDialog> m_ui;
};

} // namespace tessaly
