#pragma once

#include <QString>

#include <optional>

class QWidget;

namespace tessaly {

enum class MessageIcon { None, Information, Warning };
enum class MessageButtons { Ok, YesNo };
enum class MessageAnswer { Ok, Yes, No };

struct MessageRequest {
    MessageIcon icon = MessageIcon::None;
    QString title;
    QString text;
    MessageButtons buttons = MessageButtons::Ok;
};

struct FileDialogRequest {
    enum class Mode { Open, Save };
    Mode mode = Mode::Open;
    QString title;
    QString filter; // Qt filter syntax, as shown: "Excel (*.xls);;すべてのファイル(*.*)"
    QString fileName; // proposed name, full path or bare
};

// Every modal message box and file dialog of the program goes through this one seam, so that
// tests can answer them without a screen.
class Prompter {
public:
    virtual ~Prompter() = default;
    virtual MessageAnswer ask(QWidget *parent, const MessageRequest &request) = 0;
    // The chosen file name, or nothing when the user cancelled.
    virtual std::optional<QString> chooseFile(QWidget *parent, const FileDialogRequest &request) = 0;
};

// `filters` for the file dialog of this platform: "*.*" means every file to a Windows user, but
// elsewhere it would leave out names without a dot, so there each filter carries the patterns that
// mean the same in a trailing group that the dialog uses without showing it.
QString platformNameFilters(const QString &filters);

// The real dialogs: QMessageBox and QFileDialog.
class QtPrompter final : public Prompter {
public:
    MessageAnswer ask(QWidget *parent, const MessageRequest &request) override;
    std::optional<QString> chooseFile(QWidget *parent, const FileDialogRequest &request) override;
};

} // namespace tessaly
