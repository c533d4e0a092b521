#include "gui/MainWindow.h"
#include "gui/ModalDialogs.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    tessaly::QtPrompter prompter;
    tessaly::MainWindow window(prompter);
    window.start();
    window.show();
    return app.exec();
}
