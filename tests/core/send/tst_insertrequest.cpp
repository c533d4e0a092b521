#include "core/send/InsertRequest.h"

#include <QTest>

using namespace tessaly;

class TestInsertRequest : public QObject {
    Q_OBJECT

private slots:
    void timeoutIsRoundedAsSinglePrecisionTiesToEven_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("seconds");
        QTest::newRow("whole") << QStringLiteral("60") << 60;
        QTest::newRow("tie down to even") << QStringLiteral("2.5") << 2;
        QTest::newRow("tie up to even") << QStringLiteral("3.5") << 4;
        QTest::newRow("half to zero") << QStringLiteral("0.5") << 0;
        QTest::newRow("below half") << QStringLiteral("7.49") << 7;
        QTest::newRow("exponent") << QStringLiteral("1.5e1") << 15;
        QTest::newRow("spaces around") << QStringLiteral(" 9 ") << 9;
        // In single precision 2.50000001 is 2.5, a tie; in double precision it would round up.
        QTest::newRow("single precision tie") << QStringLiteral("2.50000001") << 2;
        QTest::newRow("largest float below 2^31") << QStringLiteral("2147483520") << 2147483520;
    }
    void timeoutIsRoundedAsSinglePrecisionTiesToEven()
    {
        QFETCH(QString, text);
        QFETCH(int, seconds);
        QCOMPARE(requestTimeoutSeconds(text), std::optional<int>(seconds));
    }

    void unusableTimeoutsAreRefused_data()
    {
        QTest::addColumn<QString>("text");
        QTest::newRow("empty") << QString();
        QTest::newRow("letters") << QStringLiteral("abc");
        QTest::newRow("unit") << QStringLiteral("60s");
        QTest::newRow("negative") << QStringLiteral("-1");
        // 2147483647 is 2^31 in single precision, one past the largest 32-bit integer.
        QTest::newRow("int max as float") << QStringLiteral("2147483647");
        QTest::newRow("huge") << QStringLiteral("1e20");
        QTest::newRow("infinity") << QStringLiteral("inf");
        QTest::newRow("not a number") << QStringLiteral("nan");
    }
    void unusableTimeoutsAreRefused()
    {
        QFETCH(QString, text);
        QCOMPARE(requestTimeoutSeconds(text), std::nullopt);
        Settings settings;
        settings.timeout = text;
        const InsertRequest request = buildInsertRequest(settings, u"<ROWSET/>");
        QVERIFY(request.refusal.contains(QStringLiteral("タイムアウト")));
        QVERIFY(request.transfer.body.isEmpty());
    }

    void formEncodingEscapesEverythingButTheUnreservedSet()
    {
        QCOMPARE(formEncode("a b&+%=~*-._Z9"), QByteArray("a+b%26%2B%25%3D%7E*-._Z9"));
        QCOMPARE(formEncode("\r\n\x82\xa0<>\"'"), QByteArray("%0D%0A%82%A0%3C%3E%22%27"));
        QCOMPARE(formEncode({}), QByteArray());
    }

    void requestCarriesTheSettingsTrimmed()
    {
        Settings settings;
        settings.url = QStringLiteral(" http://host/servlet ");
        settings.proxy = QStringLiteral("  proxy:3128 ");
        settings.user = QStringLiteral(" scott ");
        settings.password = QStringLiteral(" ti ger ");
        settings.timeout = QStringLiteral("3.5");
        settings.table = QStringLiteral(" EMP ");
        settings.charset = QStringLiteral("UTF-8");
        const InsertRequest request = buildInsertRequest(settings, u"a&b");
        QCOMPARE(request.refusal, QString());
        QCOMPARE(request.transfer.url, settings.url);
        QCOMPARE(request.transfer.proxy, QStringLiteral("proxy:3128"));
        QCOMPARE(request.transfer.userName, QStringLiteral("scott"));
        QCOMPARE(request.transfer.password, QStringLiteral("ti ger"));
        QCOMPARE(request.transfer.timeoutSeconds, 4);
        QCOMPARE(request.transfer.body, QByteArray("command=insert&tabName=EMP&xmlText=a%26b"));
        QCOMPARE(request.transfer.contentType, QByteArray("application/x-www-form-urlencoded; charset=UTF-8"));

        settings.proxy = QStringLiteral("   ");
        const InsertRequest direct = buildInsertRequest(settings, {});
        QCOMPARE(direct.transfer.proxy, QString());
        // An empty document is still sent.
        QCOMPARE(direct.transfer.body, QByteArray("command=insert&tabName=EMP&xmlText="));
    }

    void protocolNamesMatchExactly_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<std::optional<TransferProtocol>>("protocol");
        using Protocol = std::optional<TransferProtocol>;
        QTest::newRow("icDefault") << QStringLiteral("icDefault") << Protocol(TransferProtocol::Default);
        QTest::newRow("icHTTP") << QStringLiteral("icHTTP") << Protocol(TransferProtocol::Http);
        QTest::newRow("icHTTPS") << QStringLiteral("icHTTPS") << Protocol(TransferProtocol::Https);
        QTest::newRow("lower case") << QStringLiteral("ichttp") << Protocol();
        QTest::newRow("leading space") << QStringLiteral(" icHTTP") << Protocol();
        QTest::newRow("empty") << QString() << Protocol();
        QTest::newRow("bare name") << QStringLiteral("HTTP") << Protocol();
    }
    void protocolNamesMatchExactly()
    {
        QFETCH(QString, name);
        QFETCH(std::optional<TransferProtocol>, protocol);
        Settings settings;
        settings.protocol = name;
        QCOMPARE(buildInsertRequest(settings, {}).transfer.protocol, protocol);
    }

    void refusalsComeBeforeAnythingIsBuilt()
    {
        Settings settings;
        settings.url = QStringLiteral("   ");
        QCOMPARE(buildInsertRequest(settings, u"<ROWSET/>").refusal, blankUrlStatusText());

        settings.url = QStringLiteral("http://host/");
        settings.charset = QStringLiteral("Shift_JIS");
        settings.table = QStringLiteral("표");
        const InsertRequest hangul = buildInsertRequest(settings, u"<ROWSET/>");
        QVERIFY(hangul.refusal.contains(QStringLiteral("表名「표」")));
        QVERIFY(hangul.transfer.body.isEmpty());

        settings.table = QStringLiteral("社員");
        settings.charset = QStringLiteral("no-such-charset");
        QVERIFY(!buildInsertRequest(settings, u"<ROWSET/>").refusal.isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestInsertRequest)
#include "tst_insertrequest.moc"
