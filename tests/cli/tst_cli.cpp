#include "core/document/XmlDocument.h"

#include "tests/common/CliProcess.h"
#include "tests/common/Fixtures.h"
#include "tests/common/TempWorkDir.h"

#include <QTest>

using namespace tessaly;

namespace {

// The bytes the desktop program's save writes for a worksheet with the given settings.
QByteArray savedBytes(const QString &workbook, qsizetype sheet, const Settings &settings)
{
    return documentFileBytes(buildDocument(readSheet(workbook, sheet), settings), settings.charset).bytes;
}

bool isJapanese(const QString &text)
{
    return std::any_of(text.begin(), text.end(), [](QChar c) { return c.unicode() >= 0x3040; });
}

} // namespace

class TestCli : public QObject {
    Q_OBJECT

private slots:
    void listsTheWorksheets()
    {
        TempWorkDir dir;
        const CliRun run = runCli({QStringLiteral("sheets"), fixture("fixtures-biff5-ja.xls")});
        QCOMPARE(run.exitCode, 0);
        QCOMPARE(QString::fromUtf8(run.output), QStringLiteral("社員\nTypes\nHidden\nHeaderOnly\nEmpty\n"));
    }

    void convertWritesWhatTheSaveWrites()
    {
        TempWorkDir dir;
        // The settings come from XMLConfig.xml in the working directory.
        dir.write(QStringLiteral("XMLConfig.xml"),
                  "<XMLConfig><xmlSetting><charset>EUC-JP</charset><row>REC</row></xmlSetting></XMLConfig>");
        Settings settings;
        settings.charset = QStringLiteral("EUC-JP");
        settings.row = QStringLiteral("REC");

        const CliRun first = runCli({QStringLiteral("convert"), fixture("fixtures-biff8.xls")});
        QCOMPARE(first.exitCode, 0);
        QCOMPARE(first.output, savedBytes(fixture("fixtures-biff8.xls"), 0, settings));

        const CliRun named = runCli({QStringLiteral("convert"), fixture("fixtures-biff8.xls"), QStringLiteral("Types"),
                                     QStringLiteral("-o"), dir.filePath(QStringLiteral("types.xml"))});
        QCOMPARE(named.exitCode, 0);
        QCOMPARE(named.output, QByteArray());
        QCOMPARE(dir.read(QStringLiteral("types.xml")), savedBytes(fixture("fixtures-biff8.xls"), 1, settings));
    }

    void failuresExitNonZeroWithAJapaneseReason_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::newRow("missing workbook") << QStringList{QStringLiteral("convert"), QStringLiteral("no-such.xls")};
        QTest::newRow("unknown sheet") << QStringList{QStringLiteral("send"), fixture("fixtures-biff8.xls"),
                                                      QStringLiteral("存在しない")};
        QTest::newRow("no command") << QStringList();
        QTest::newRow("unwritable output") << QStringList{QStringLiteral("convert"), fixture("fixtures-biff8.xls"),
                                                          QStringLiteral("-o"), QStringLiteral("missing/dir/out.xml")};
    }

    void failuresExitNonZeroWithAJapaneseReason()
    {
        QFETCH(QStringList, arguments);
        TempWorkDir dir;
        const CliRun run = runCli(arguments);
        QVERIFY(run.exitCode != 0);
        QCOMPARE(run.output, QByteArray());
        QVERIFY2(isJapanese(QString::fromUtf8(run.errors)), run.errors.constData());
    }
};

QTEST_GUILESS_MAIN(TestCli)
#include "tst_cli.moc"
