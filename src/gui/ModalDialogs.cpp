#include "gui/ModalDialogs.h"

#include <QFileDialog>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpression>

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

QString platformNameFilters(const QString &filters)
{
#ifdef Q_OS_WIN
    return filters;
#else
    static const QRegularExpression patternGroup(QStringLiteral(R"(\(([^()]*)\)\s*$)"));
    QStringList entries = filters.split(QStringLiteral(";;"));
    for (QString &entry : entries) {
        const QRegularExpressionMatch match = patternGroup.match(entry);
        if (!match.hasMatch())
            continue;
        QStringList patterns = match.captured(1).split(u' ', Qt::SkipEmptyParts);
        for (QString &pattern : patterns) {
            if (pattern == u"*.*")
                pattern = QStringLiteral("*");
        }
        entry += QStringLiteral(" (%1)").arg(patterns.join(u' '));
    }
    return entries.join(QStringLiteral(";;"));
#endif
}

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
    const QString filters = platformNameFilters(request.filter);
#ifdef Q_OS_WIN
    const QFileDialog::Options options;
#else
    const QFileDialog::Options options = QFileDialog::HideNameFilterDetails;
#endif
    const QString chosen = request.mode == FileDialogRequest::Mode::Open
                               ? QFileDialog::getOpenFileName(parent, request.title, request.fileName, filters, nullptr, options)
                               : QFileDialog::getSaveFileName(parent, request.title, request.fileName, filters, nullptr, options);
    if (chosen.isEmpty())
        return std::nullopt;
    return chosen;
}

} // namespace tessaly
