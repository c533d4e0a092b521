#include "gui/MainWindow.h"
#include "gui/ModalDialogs.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QLibraryInfo>
#include <QTranslator>

#include <cstdio>
#include <optional>

namespace {

// Qt's own Japanese translation lacks the texts of the help options; they are given here.
class HelpOptionTexts final : public QTranslator {
public:
    QString translate(const char *context, const char *sourceText, const char *disambiguation, int n) const override
    {
        Q_UNUSED(disambiguation)
        Q_UNUSED(n)
        if (qstrcmp(context, "QCommandLineParser") != 0)
            return {};
        if (qstrcmp(sourceText, "Displays help on commandline options.") == 0)
            return QStringLiteral("コマンドラインのオプションの説明を表示します。");
        if (qstrcmp(sourceText, "Displays help including Qt specific options.") == 0)
            return QStringLiteral("Qt 固有のオプションも含めて説明を表示します。");
        return {};
    }
    bool isEmpty() const override { return false; }
};

// The workbook named on the command line (empty when none), or nothing when the program is to
// end: --help and --version have answered, or the arguments are wrong.
std::optional<QString> parseCommandLine(const QCoreApplication &app)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("ワークシートを XML 文書に変換し、その行をデータベースのサーブレットに送信します。"));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addPositionalArgument(QStringLiteral("WORKBOOK"), QStringLiteral("起動時に開くブック"), QStringLiteral("[WORKBOOK]"));
    parser.process(app);
    const QStringList workbooks = parser.positionalArguments();
    if (workbooks.size() > 1) {
        std::fputs(qPrintable(QStringLiteral("開くブックは 1 つだけ指定して下さい。\n")), stderr);
        return std::nullopt;
    }
    return workbooks.value(0);
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication::setApplicationName(QStringLiteral("tessaly"));
    QApplication::setApplicationVersion(QStringLiteral(TESSALY_VERSION));
    QApplication::setDesktopFileName(QStringLiteral("org.tessaly.Tessaly"));

    // The whole interface is Japanese, so Qt's own texts are too, whatever the locale.
    QTranslator qtTranslation;
    const bool translated = qtTranslation.load(QStringLiteral("qtbase_ja"), QLibraryInfo::path(QLibraryInfo::TranslationsPath));
    HelpOptionTexts helpOptionTexts;

    // The arguments are read before the window system is reached, so that --help and --version
    // answer also without a display.
    std::optional<QString> workbook;
    {
        QCoreApplication arguments(argc, argv);
        if (translated)
            QCoreApplication::installTranslator(&qtTranslation);
        QCoreApplication::installTranslator(&helpOptionTexts);
        workbook = parseCommandLine(arguments);
    }
    if (!workbook)
        return 1;

    QApplication app(argc, argv);
    if (translated)
        QApplication::installTranslator(&qtTranslation);
    tessaly::QtPrompter prompter;
    tessaly::MainWindow window(prompter);
    window.show();
    window.start(*workbook);
    return app.exec();
}
