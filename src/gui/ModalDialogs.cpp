#include "gui/ModalDialogs.h"

#include <QFileDialog>
#include <QMessageBox>
#include <QPushButton>

namespace tessaly {

namespace {

QMessageBox::Icon toQtIcon(MessageIcon icon)
{
    switch (icon) {
    case MessageIcon::Information:
        return QMessageBox::Information;
    case MessageIcon::Warning:
        return QMessageBox::Warning;
    case MessageIcon::None:
        break;
    }
    return QMessageBox::NoIcon;
}

} // namespace

MessageAnswer QtPrompter::ask(QWidget *parent, const MessageRequest &request)
{
    const bool yesNo = request.buttons == MessageButtons::YesNo;
    QMessageBox box(toQtIcon(request.icon), request.title, request.text,
                    yesNo ? QMessageBox::Yes | QMessageBox::No : QMessageBox::Ok, parent);
    if (yesNo) {
        box.button(QMessageBox::Yes)->setText(QStringLiteral("はい(&Y)"));
        box.button(QMessageBox::No)->setText(QStringLiteral("いいえ(&N)"));
    }
    const int pressed = box.exec();
    if (!yesNo)
        return MessageAnswer::Ok;
    return pressed == QMessageBox::Yes ? MessageAnswer::Yes : MessageAnswer::No;
}

std::optional<QString> QtPrompter::chooseFile(QWidget *parent, const FileDialogRequest &request)
{
    const QString chosen = request.mode == FileDialogRequest::Mode::Open
        ? QFileDialog::getOpenFileName(parent, request.title, request.fileName, request.filter)
        : QFileDialog::getSaveFileName(parent, request.title, request.fileName, request.filter);
    if (chosen.isEmpty())
        return std::nullopt;
    return chosen;
}

} // namespace tessaly
