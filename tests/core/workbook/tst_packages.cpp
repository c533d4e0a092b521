// The .xlsx and .ods readers: the value rules, and the packages that must be refused or read
// without blowing up.
#include "tests/common/Fixtures.h"

#include <QTest>

using tessaly::xls::Workbook;

// A workbook of tests/data/ooxml.
static QString ooxml(const QString &name)
{
    return QStringLiteral(TESSALY_TEST_DATA "/ooxml/") + name;
}

class TestPackages : public QObject {
    Q_OBJECT

private slots:
    void valueRules_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("sheet");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("xlsx values") << u"values.xlsx"_qs << u"Values"_qs << QStringList{
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
        QTest::newRow("hidden sheet") << u"values.xlsx"_qs << u"Hidden"_qs << QStringList{u"secret"_qs};
        QTest::newRow("1904, Strict") << u"dates1904-strict.xlsx"_qs << u"Dates"_qs
                                      << QStringList{u"_x0030_0_x003A_00_x003A_00|_x0031_904-01-02_x0020_12_x003A_00_x003A_00"_qs};
        QTest::newRow("odd part names") << u"odd-part-names.xlsx"_qs << u"Odd"_qs << QStringList{u"found"_qs};
        QTest::newRow("ods values") << u"values.ods"_qs << u"Values"_qs << QStringList{
            u"heading|B"_qs,
            u"1.5|0.25"_qs,
            u"-3|TRUE"_qs,
            u"2024-03-01|2024-03-01 06:00:00"_qs,
            u"12:30:00|1900-01-01 12:00:00"_qs,
            u"#DIV/0!|a   b\tc\nd\nsecond para"_qs, // annotation left out
            u"rep|rep"_qs,                          // repeated cells in repeated rows
            u"rep|rep"_qs,
            u"merged|"_qs};                          // a covered cell is empty
        QTest::newRow("ods last row") << u"repeated-empty.ods"_qs << u"LastRow"_qs << QStringList{u"_x0031_"_qs};
        QTest::newRow("ods last column") << u"repeated-empty.ods"_qs << u"LastColumn"_qs << QStringList{u"_x0032_"_qs};
    }
    void valueRules()
    {
        QFETCH(QString, path);
        QFETCH(QString, sheet);
        QFETCH(QStringList, expected);
        QCOMPARE(readBook(ooxml(path)).value(sheet), expected);
    }

    // Chart and macro sheets are left out; the hidden sheet stays in its place.
    void worksheetsOnlyInWorkbookOrder()
    {
        QString error;
        QCOMPARE(Workbook::open(ooxml(u"values.xlsx"_qs), &error)->sheetNames(),
                 (QStringList{u"Values"_qs, u"Hidden"_qs}));
    }

    // Refused books give their reason; a sheet past a bound gives it when read.
    void refusals_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("message");
        const QString document = u"このシートの XML 文書は上限の 4 GiB を超えるため読めません"_qs;
        QTest::newRow("encrypted ods") << u"encrypted.ods"_qs << u"パスワードで保護されたブックは読めません"_qs;
        QTest::newRow("no workbook") << u"no-workbook.xlsx"_qs << u"ZIP ファイルですが、ブックが入っていません"_qs;
        QTest::newRow("damaged zip") << u"truncated.xlsx"_qs << u"ファイルが壊れています（ZIP"_qs;
        QTest::newRow("entity bomb") << u"entity-bomb.xlsx"_qs << u"DOCTYPE"_qs;
        QTest::newRow("1 MB string x 12,000") << u"huge-shared-string.xlsx"_qs << u"32,767 文字"_qs;
        QTest::newRow("repeats 999,999,999") << u"repeat-bomb.ods"_qs << document;
        QTest::newRow("sparse corners") << u"sparse-corners.xlsx"_qs << document;
    }
    void refusals()
    {
        QFETCH(QString, path);
        QFETCH(QString, message);
        const QMap<QString, QStringList> sheets = readBook(ooxml(path));
        QCOMPARE(sheets.size(), 1);
        QVERIFY2(sheets.first().size() == 1 && sheets.first().first().contains(message), qPrintable(sheets.first().join(u'\n')));
    }
};

QTEST_GUILESS_MAIN(TestPackages)
#include "tst_packages.moc"
