#pragma once

#include "gui/DocumentView.h"
#include "gui/MainWindow.h"
#include "gui/ModalDialogs.h"

#include <QAction>
#include <QApplication>
#include <QLineEdit>
#include <QListWidget>
#include <QQueue>
#include <QSettings>
#include <QStandardPaths>
#include <QTest>
#include <QTimer>

#include <functional>

// Answers the program's message boxes and file dialogs from a script and records what was shown.
class ScriptedPrompter final : public tessaly::Prompter {
public:
    QList<tessaly::MessageRequest> shown;
    QList<tessaly::FileDialogRequest> fileDialogs;
    QQueue<tessaly::MessageAnswer> answers;
    QQueue<std::optional<QString>> files;

    tessaly::MessageAnswer ask(QWidget *, const tessaly::MessageRequest &request) override
    {
        shown.append(request);
        if (!answers.isEmpty())
            return answers.dequeue();
        return request.buttons == tessaly::MessageButtons::YesNo ? tessaly::MessageAnswer::No : tessaly::MessageAnswer::Ok;
    }

    std::optional<QString> chooseFile(QWidget *, const tessaly::FileDialogRequest &request) override
    {
        fileDialogs.append(request);
        return files.isEmpty() ? std::nullopt : files.dequeue();
    }

    QStringList titles() const { return each(&tessaly::MessageRequest::title); }
    QStringList texts() const { return each(&tessaly::MessageRequest::text); }

private:
    QStringList each(QString tessaly::MessageRequest::*part) const
    {
        QStringList parts;
        for (const tessaly::MessageRequest &request : shown)
            parts.append(request.*part);
        return parts;
    }
};

// The named child of `parent`; a missing one ends the test with its name.
template <typename T> T *field(QWidget &parent, const char *name)
{
    T *child = parent.findChild<T *>(QLatin1String(name));
    if (!child)
        qFatal("no child %s", name);
    return child;
}

// The user clicks into the field, selects its whole text and types over it.
inline void typeOver(QLineEdit *field, const QString &text)
{
    field->setFocus(Qt::MouseFocusReason);
    field->selectAll();
    QTest::keyClick(field, Qt::Key_Delete);
    QTest::keyClicks(field, text);
}

// The main window as the program runs it: started (with `startupWorkbook` chosen in the start-up
// file dialog, or that dialog cancelled; `workbookArgument` as given on the command line), shown
// and active, with scripted dialogs. What start-up showed is kept in `startupMessages`;
// `prompter.shown` then starts empty. What is kept per user starts empty, in the test's own place.
struct RunningWindow {
    const bool userSettingsIsolated = [] {
        QStandardPaths::setTestModeEnabled(true);
        QSettings(QStringLiteral("Tessaly"), QStringLiteral("tessaly")).clear();
        return true;
    }();
    ScriptedPrompter prompter;
    tessaly::MainWindow window{prompter};
    QList<tessaly::MessageRequest> startupMessages;

    explicit RunningWindow(const std::optional<QString> &startupWorkbook = std::nullopt, const QString &workbookArgument = {})
    {
        prompter.files.enqueue(startupWorkbook);
        window.show();
        window.start(workbookArgument);
        startupMessages = prompter.shown;
        prompter.shown.clear();
        window.activateWindow();
        if (!QTest::qWaitForWindowActive(&window))
            qWarning("the main window did not become active");
    }

    template <typename T> T *child(const char *name) { return field<T>(window, name); }
    void trigger(const char *menuItem) { child<QAction>(menuItem)->trigger(); }
    QLineEdit *table() { return child<QLineEdit>("tableNameEdit"); }
    QListWidget *sheetList() { return child<QListWidget>("sheetList"); }
    QString document() { return child<tessaly::DocumentView>("documentView")->text(); }

    QStringList sheetNames()
    {
        QStringList names;
        for (int row = 0; row < sheetList()->count(); ++row)
            names.append(sheetList()->item(row)->text());
        return names;
    }

    // The texts of the messages shown while closing.
    QStringList close()
    {
        prompter.shown.clear();
        window.close();
        return prompter.texts();
    }

    void typeIntoTable(const QString &text) { typeOver(table(), text); }
};

// Runs `act` on the modal dialog that the next statement opens, once its event loop runs. A dialog
// that is missing or stays open ends the test at once, so that a failing test cannot hang.
template <typename Dialog> void whenModal(std::function<void(Dialog &)> act)
{
    QTimer::singleShot(0, [act] {
        auto *dialog = qobject_cast<Dialog *>(QApplication::activeModalWidget());
        if (!dialog || !QTest::qWaitForWindowActive(dialog))
            qFatal("the expected dialog is not open and active");
        act(*dialog);
        if (dialog->isVisible())
            qFatal("the dialog stayed open");
    });
}
