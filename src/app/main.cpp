#include "gui/MainWindow.h"
#include "gui/ModalDialogs.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QLibraryInfo>
#include <QTranslator>

#include <cstdio>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("tessaly"));
    QApplication::setApplicationVersion(QStringLiteral(TESSALY_VERSION));
    QApplication::setDesktopFileName(QStringLiteral("org.tessaly.Tessaly"));

    // The whole interface is Japanese, so Qt's own dialogs and buttons are too, whatever the locale.
    QTranslator qtTranslation;
    if (qtTranslation.load(QStringLiteral("qtbase_ja"), QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        QApplication::installTranslator(&qtTranslation);

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("ワークシートを XML 文書に変換し、その行をデータベースのサーブレットに送信します。"));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addPositionalArgument(QStringLiteral("WORKBOOK"), QStringLiteral("起動時に開くブック"),
                                 QStringLiteral("[WORKBOOK]"));
    parser.process(app);
    const QStringList workbooks = parser.positionalArguments();
    if (workbooks.size() > 1) {
        std::fputs(qPrintable(QStringLiteral("開くブックは 1 つだけ指定して下さい。\n")), stderr);
        return 1;
    }

    tessaly::QtPrompter prompter;
    tessaly::MainWindow window(prompter);
    window.start(workbooks.value(0));
    window.show();
    return app.exec();
}
