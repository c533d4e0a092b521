// The .xlsx and .ods readers: the value rules, and the packages that must be refused or read
// without blowing up.
#include "tests/common/Fixtures.h"

#include <QTest>

using tessaly::xls::SheetTable;
using tessaly::xls::Workbook;

namespace {

QString dataFile(const QString &name)
{
    return QStringLiteral(TESSALY_TEST_DATA "/") + name;
}

} // namespace

class TestPackages : public QObject {
    Q_OBJECT

private slots:
    void valueRules_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("sheet");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("xlsx values") << QStringLiteral("values.xlsx") << QStringLiteral("Values") << QStringList{
            u"plain|inline|F3"_qs,
            u"rich runs|inline|"_qs,              // runs joined, phonetic runs left out
            u"formula text|TRUE|"_qs,
            u"#DIV/0!|FALSE|"_qs,
            u"1.5|0.1|"_qs,
            u"2024-03-01|2024-03-01 12:00:00|"_qs, // built-in and custom date formats
            u"45352|1900-01-01 06:00:00|"_qs,      // a quoted "d" is no date; elapsed [h] is
            u"2024-03-01 12:30:01|2024-03-01|"_qs, // t="d", rounded to the second
            u"line\rbreak_x0041_|23:44:52|"_qs,    // _xHHHH_ escapes; _x005F_ is the underscore
            u"10|11|"_qs,                          // cells and rows without references
            u"|12|13"_qs,
            u"-1e+20|1.23456789012346e+17|"_qs};
        QTest::newRow("hidden sheet") << QStringLiteral("values.xlsx") << QStringLiteral("Hidden") << QStringList{u"secret"_qs};
        QTest::newRow("1904, Strict") << QStringLiteral("dates1904-strict.xlsx") << QStringLiteral("Dates")
                                      << QStringList{u"_x0030_0_x003A_00_x003A_00|_x0031_904-01-02_x0020_12_x003A_00_x003A_00"_qs};
        QTest::newRow("odd part names") << QStringLiteral("odd-part-names.xlsx") << QStringLiteral("Odd") << QStringList{u"found"_qs};
        QTest::newRow("ods values") << QStringLiteral("values.ods") << QStringLiteral("Values") << QStringList{
            u"heading|B"_qs,
            u"1.5|0.25"_qs,
            u"-3|TRUE"_qs,
            u"2024-03-01|2024-03-01 06:00:00"_qs,
            u"12:30:00|1900-01-01 12:00:00"_qs,
            u"#DIV/0!|a   b\tc\nd\nsecond para"_qs, // annotation left out
            u"rep|rep"_qs,                          // repeated cells in repeated rows
            u"rep|rep"_qs,
            u"merged|"_qs};                          // a covered cell is empty
        QTest::newRow("ods last row") << QStringLiteral("repeated-empty.ods") << QStringLiteral("LastRow") << QStringList{u"_x0031_"_qs};
        QTest::newRow("ods last column") << QStringLiteral("repeated-empty.ods") << QStringLiteral("LastColumn") << QStringList{u"_x0032_"_qs};
    }
    void valueRules()
    {
        QFETCH(QString, path);
        QFETCH(QString, sheet);
        QFETCH(QStringList, expected);
        const QMap<QString, QStringList> sheets = readBook(dataFile(QStringLiteral("ooxml/") + path));
        QCOMPARE(sheets.value(sheet), expected);
    }

    // Chart and macro sheets are left out; the hidden sheet stays in its place.
    void worksheetsOnlyInWorkbookOrder()
    {
        QString error;
        QCOMPARE(Workbook::open(dataFile(QStringLiteral("ooxml/values.xlsx")), &error)->sheetNames(),
                 (QStringList{u"Values"_qs, u"Hidden"_qs}));
    }

    // Refused books give their reason; a sheet past a bound gives it when read.
    void refusals_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("message");
        const QString password = QStringLiteral("パスワードで保護されたブックは読めません");
        const QString document = QStringLiteral("このシートの XML 文書は上限の 4 GiB を超えるため読めません");
        QTest::newRow("encrypted ods") << QStringLiteral("encrypted.ods") << password;
        QTest::newRow("no workbook") << QStringLiteral("no-workbook.xlsx") << QStringLiteral("ZIP ファイルですが、ブックが入っていません");
        QTest::newRow("damaged zip") << QStringLiteral("truncated.xlsx") << QStringLiteral("ファイルが壊れています（ZIP");
        QTest::newRow("entity bomb") << QStringLiteral("entity-bomb.xlsx") << QStringLiteral("DOCTYPE");
        QTest::newRow("1 MB string x 12,000") << QStringLiteral("huge-shared-string.xlsx") << QStringLiteral("32,767 文字");
        QTest::newRow("repeats 999,999,999") << QStringLiteral("repeat-bomb.ods") << document;
        QTest::newRow("sparse corners") << QStringLiteral("sparse-corners.xlsx") << document;
    }
    void refusals()
    {
        QFETCH(QString, path);
        QFETCH(QString, message);
        const QMap<QString, QStringList> sheets = readBook(dataFile(QStringLiteral("ooxml/") + path));
        QCOMPARE(sheets.size(), 1);
        QVERIFY2(sheets.first().size() == 1 && sheets.first().first().contains(message), qPrintable(sheets.first().join(u'\n')));
    }
};

QTEST_GUILESS_MAIN(TestPackages)
#include "tst_packages.moc"
