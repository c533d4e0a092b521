#include "core/document/XmlDocument.h"

#include "tests/common/CliProcess.h"
#include "tests/common/Fixtures.h"
#include "tests/common/TempWorkDir.h"

#include <QStringEncoder>
#include <QTest>

#include <algorithm>

using namespace tessaly;

class TestCli : public QObject {
    Q_OBJECT

private slots:
    void convertWritesWhatTheSaveWrites()
    {
        TempWorkDir dir;
        // The settings come from XMLConfig.xml in the working directory.
        dir.write(QStringLiteral("XMLConfig.xml"), "<XMLConfig><xmlSetting><charset>EUC-JP</charset></xmlSetting></XMLConfig>");
        Settings settings;
        settings.charset = QStringLiteral("EUC-JP");

        const CliRun first = runCli({QStringLiteral("convert"), fixture("fixtures-biff8.xls")});
        QCOMPARE(first.exitCode, 0);
        // The bytes the desktop program's save writes: the document and a line end, each of its
        // characters one EUC-JP holds.
        const QString document = buildDocument(readSheet(fixture("fixtures-biff8.xls"), 0), settings);
        QCOMPARE(first.output, QByteArray(QStringEncoder("EUC-JP").encode(document + QStringLiteral("\r\n"))));
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
        const QString text = QString::fromUtf8(run.errors);
        QVERIFY2(std::any_of(text.begin(), text.end(), [](QChar c) { return c >= u'\u3040'; }), qPrintable(text));
    }
};

QTEST_GUILESS_MAIN(TestCli)
#include "tst_cli.moc"
