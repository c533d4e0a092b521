#include "core/send/InsertRequest.h"

#include <QTest>

using namespace tessaly;

class TestInsertRequest : public QObject {
    Q_OBJECT

private slots:
    // -1: refused (and no request: no overall limit). The overall limit follows the time-out. A
    // stored file may hold any whole number of seconds, beyond the network dialog's 1 to 999.
    void timeoutRule_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("seconds");
        QTest::addColumn<int>("overallLimit");
        QTest::newRow("whole") << QStringLiteral(" 60 ") << 60 << 600;
        QTest::newRow("tie down to even") << QStringLiteral("2.5") << 2 << 60;
        QTest::newRow("zero from the file: no silence limit") << QStringLiteral("0") << 0 << 600;
        QTest::newRow("rounds to zero") << QStringLiteral("0.4") << 0 << 600;
        QTest::newRow("above the dialog's range") << QStringLiteral("1000") << 1000 << 10000;
        QTest::newRow("rounds above the dialog's range") << QStringLiteral("999.5") << 1000 << 10000;
        QTest::newRow("negative") << QStringLiteral("-1") << -1 << 0;
        QTest::newRow("not a number") << QStringLiteral("60s") << -1 << 0;
        QTest::newRow("beyond an int") << QStringLiteral("3e9") << -1 << 0;
    }
    void timeoutRule()
    {
        QFETCH(QString, text);
        QFETCH(int, seconds);
        QFETCH(int, overallLimit);
        Settings settings;
        settings.timeout = text;
        const InsertRequest request = buildInsertRequest(settings, u"<ROWSET/>");
        QCOMPARE(request ? request->timeoutSeconds : request.failure().message == invalidTimeoutText() ? -1 : -2, seconds);
        QCOMPARE(request ? request->overallLimitSeconds : 0, overallLimit);
    }

    // A table name the form's character set cannot hold is refused; a blank URL before anything.
    void unsendableSettingsAreRefused()
    {
        Settings settings;
        settings.table = QStringLiteral("표");
        QVERIFY(buildInsertRequest(settings, u"<ROWSET/>").failure().message.contains(QStringLiteral("表名「표」")));
        settings.url = QStringLiteral("   ");
        QCOMPARE(buildInsertRequest(settings, u"<ROWSET/>").failure().message, blankUrlStatusText());
    }
};

QTEST_GUILESS_MAIN(TestInsertRequest)
#include "tst_insertrequest.moc"
