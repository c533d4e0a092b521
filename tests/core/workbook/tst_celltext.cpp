#include "core/workbook/CellText.h"

#include <QTest>

using namespace tessaly::xls;

class TestCellText : public QObject {
    Q_OBJECT

private slots:
    void numbersAsPercentPoint15g_data()
    {
        QTest::addColumn<double>("value");
        QTest::addColumn<QString>("expected");
        QTest::newRow("fraction") << 0.1 << QStringLiteral("0.1");
        QTest::newRow("sixteen digits") << 1234567890123456.0 << QStringLiteral("1.23456789012346e+15");
        QTest::newRow("tiny") << 0.00001 << QStringLiteral("1e-05");
    }
    void numbersAsPercentPoint15g()
    {
        QFETCH(double, value);
        QFETCH(QString, expected);
        QString text;
        appendNumber(text, value);
        QCOMPARE(text, expected);
    }

    void dateSerials_data()
    {
        QTest::addColumn<double>("serial");
        QTest::addColumn<bool>("uses1904");
        QTest::addColumn<QString>("expected");
        QTest::newRow("time only") << 0.5 << false << QStringLiteral("12:00:00");
        QTest::newRow("rounds up into the next day") << 0.999999999 << false << QStringLiteral("1900-01-01");
        QTest::newRow("first day") << 1.0 << false << QStringLiteral("1900-01-01");
        QTest::newRow("past the last day") << 2958466.0 << false << QStringLiteral("2958466");
        QTest::newRow("1904 leap day is real") << 59.0 << true << QStringLiteral("1904-02-29");
    }
    void dateSerials()
    {
        QFETCH(double, serial);
        QFETCH(bool, uses1904);
        QFETCH(QString, expected);
        QString text;
        appendDateTime(text, serial, uses1904);
        QCOMPARE(text, expected);
    }

    void dateFormatCodes_data()
    {
        QTest::addColumn<QString>("code");
        QTest::addColumn<bool>("isDate");
        QTest::newRow("iso date") << QStringLiteral("yyyy-mm-dd") << true;
        QTest::newRow("elapsed hours") << QStringLiteral("[h]:mm:ss") << true;
        QTest::newRow("general") << QStringLiteral("General") << false;
        QTest::newRow("colour and decimals") << QStringLiteral("[Red]#,##0.00") << false;
        QTest::newRow("padding after underscore") << QStringLiteral("#,##0_);(#,##0)") << false;
        QTest::newRow("text") << QStringLiteral("@") << false;
    }
    void dateFormatCodes()
    {
        QFETCH(QString, code);
        QFETCH(bool, isDate);
        QCOMPARE(isDateFormatCode(code), isDate);
    }

    void builtInDateFormats()
    {
        for (const quint16 index : {14, 22, 27, 36, 45, 47, 50, 58})
            QVERIFY2(isBuiltInDateFormat(index), QByteArray::number(index));
        for (const quint16 index : {0, 13, 23, 26, 37, 44, 48, 49, 59, 164})
            QVERIFY2(!isBuiltInDateFormat(index), QByteArray::number(index));
    }
};

QTEST_APPLESS_MAIN(TestCellText)
#include "tst_celltext.moc"
