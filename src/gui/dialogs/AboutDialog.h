#pragma once

#include <QDialog>

#include <memory>

namespace Ui {
class AboutDialog;
}

namespace tessaly {

class Prompter;
class Registry;
class ProgramLauncher;

// The program's name, version and description, with a button that starts the system's
// information tool where the registry names one.
class AboutDialog final : public QDialog {
    Q_OBJECT

public:
    AboutDialog(Prompter &prompter, Registry &registry, ProgramLauncher &launcher, QWidget *owner);
    ~AboutDialog() override;

private:
    void showVersion();
    void onSystemInfoClicked();

    std::unique_ptr<Ui::AboutDialog> m_ui;
    Prompter &m_prompter;
    Registry &m_registry;
    ProgramLauncher &m_launcher;
};

} // namespace tessaly
