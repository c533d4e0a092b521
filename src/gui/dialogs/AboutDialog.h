#pragma once

#include <QDialog>

#include <memory>

namespace Ui {
class frmAbout;
}

namespace tessaly {

class Prompter;
class Registry;
class ProgramLauncher;

// The program's name, version and description, with a button that starts the system's
// information tool where the registry names one.
class frmAbout final : public QDialog {
    Q_OBJECT

public:
    frmAbout(Prompter &prompter, Registry &registry, ProgramLauncher &launcher, QWidget *owner);
    ~frmAbout() override;

private:
    void Form_Load();
    void cmdSysInfo_Click();

    std::unique_ptr<Ui::frmAbout> m_ui;
    Prompter &m_prompter;
    Registry &m_registry;
    ProgramLauncher &m_launcher;
};

} // namespace tessaly
