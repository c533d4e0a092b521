#pragma once

#include "gui/ModalDialogs.h"

#include <QList>
#include <QQueue>

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
        return request.buttons == tessaly::MessageButtons::YesNo ? tessaly::MessageAnswer::No
                                                                 : tessaly::MessageAnswer::Ok;
    }

    std::optional<QString> chooseFile(QWidget *, const tessaly::FileDialogRequest &request) override
    {
        fileDialogs.append(request);
        return files.isEmpty() ? std::nullopt : files.dequeue();
    }

    QStringList titles() const
    {
        QStringList result;
        for (const tessaly::MessageRequest &request : shown)
            result.append(request.title);
        return result;
    }
};
