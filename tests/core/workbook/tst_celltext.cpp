// Number and date texts at their edges; the fixture books in tst_workbook and tst_packages show the
// ordinary values (0.333333333333333, 1e+20, dates, times, [h], a quoted "d") end to end.
#include "core/workbook/CellText.h"

#include <QTest>

using namespace tessaly::xls;

class TestCellText : public QObject {
    Q_OBJECT

private slots:
    void texts_data()
    {
        QTest::addColumn<double>("value");
        QTest::addColumn<int>("dateSystem"); // 0 for a plain number
        QTest::addColumn<QString>("expected");
        QTest::newRow("tiny number") << 0.00001 << 0 << u"1e-05"_qs;
        QTest::newRow("rounds up into the next day") << 0.999999999 << 1900 << u"1900-01-01"_qs;
        QTest::newRow("past the last day") << 2958466.0 << 1900 << u"2958466"_qs;
        QTest::newRow("1904 leap day is real") << 59.0 << 1904 << u"1904-02-29"_qs;
    }
    void texts()
    {
        QFETCH(double, value);
        QFETCH(int, dateSystem);
        QFETCH(QString, expected);
        QString text;
        if (dateSystem == 0)
            appendNumber(text, value);
        else
            appendDateTime(text, value, dateSystem == 1904);
        QCOMPARE(text, expected);
    }

    // Number formats with a d or an h that is no date part: in a colour name, escaped as a unit ("7.5h").
    void numberFormatsAreNoDates()
    {
        for (const char16_t *code : {u"[Red]#,##0.00", u"0.0\\h"})
            QVERIFY2(!isDateFormatCode(code), qPrintable(QString::fromUtf16(code)));
    }
};

QTEST_APPLESS_MAIN(TestCellText)
#include "tst_celltext.moc"
