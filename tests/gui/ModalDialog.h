#pragma once

#include <QApplication>
#include <QDialog>
#include <QTest>
#include <QTimer>

#include <functional>

// Runs `act` on the modal dialog that the next statement opens, once its event loop runs. If the
// dialog is not of the expected type the test fails and whatever is modal is closed, so that a
// failing test cannot hang.
template <typename Dialog>
void whenModal(std::function<void(Dialog &)> act)
{
    QTimer::singleShot(0, [act] {
        QWidget *modal = QApplication::activeModalWidget();
        auto *dialog = qobject_cast<Dialog *>(modal);
        if (!dialog) {
            if (modal)
                modal->close();
            QFAIL("the expected dialog is not open");
        }
        if (!QTest::qWaitForWindowActive(dialog)) {
            dialog->reject();
            QFAIL("the dialog did not become active");
        }
        act(*dialog);
        if (dialog->isVisible()) {
            dialog->reject();
            QFAIL("the dialog stayed open");
        }
    });
}

template <typename T>
T *field(QWidget &parent, const char *name)
{
    T *child = parent.findChild<T *>(QLatin1String(name));
    if (!child)
        qFatal("no child %s", name);
    return child;
}
