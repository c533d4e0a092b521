#include "core/document/XmlDocument.h"

#include "tests/common/Fixtures.h"
#include "tests/common/TempWorkDir.h"

#include <QBuffer>
#include <QStringEncoder>
#include <QTest>

using namespace tessaly;

namespace {

Settings withCharset(const QString &charset)
{
    Settings settings;
    settings.charset = charset;
    return settings;
}

QString lines(std::initializer_list<const char16_t *> parts)
{
    QString text;
    for (const char16_t *part : parts)
        text += QString::fromUtf16(part) + QStringLiteral("\r\n");
    return text;
}

// The employees sheet of the fixtures: Japanese names and values, a heading with a space, a blank
// heading, one starting with a digit, markup characters, a carriage return and a blank row.
QString employeesDocument(const QString &charset)
{
    return lines({u"<?xml version=\"1.0\" encoding=\"%1\"?>", u"<ROWSET>",
                  u"<ROW>", u"<社員番号>1</社員番号>", u"<氏名>山田 太郎</氏名>",
                  u"<FIRST_x0020_NAME>Taro</FIRST_x0020_NAME>", u"<F4>x</F4>",
                  u"<備考>A &amp; B &lt;c&gt;</備考>", u"<_x0031_st>10</_x0031_st>", u"</ROW>",
                  u"<ROW>", u"<社員番号>2</社員番号>", u"<氏名>佐藤 花子</氏名>",
                  u"<FIRST_x0020_NAME></FIRST_x0020_NAME>", u"<F4></F4>",
                  u"<備考>一行目&#13;二行目</備考>", u"<_x0031_st></_x0031_st>", u"</ROW>",
                  u"<ROW>", u"<社員番号></社員番号>", u"<氏名></氏名>", u"<FIRST_x0020_NAME></FIRST_x0020_NAME>",
                  u"<F4></F4>", u"<備考></備考>", u"<_x0031_st></_x0031_st>", u"</ROW>",
                  u"<ROW>", u"<社員番号>3</社員番号>", u"<氏名>鈴木 一郎</氏名>",
                  u"<FIRST_x0020_NAME>Ichiro</FIRST_x0020_NAME>", u"<F4></F4>",
                  u"<備考>3 &gt; 2</備考>", u"<_x0031_st>0.1</_x0031_st>", u"</ROW>",
                  u"</ROWSET>"})
        .arg(charset);
}

} // namespace

class TestConversion : public QObject {
    Q_OBJECT

private slots:
    void documentIsExact_data()
    {
        QTest::addColumn<QString>("workbook");
        QTest::newRow("BIFF8") << fixture("fixtures-biff8.xls");
        QTest::newRow("BIFF5 from Japanese Excel") << fixture("fixtures-biff5-ja.xls");
    }

    void documentIsExact()
    {
        QFETCH(QString, workbook);
        const xls::SheetTable employees = readSheet(workbook, 0);
        QCOMPARE(buildDocument(employees, Settings{}), employeesDocument(QStringLiteral("Shift_JIS")));

        // A sheet with a heading row only, and one without values, have no rows.
        const QString empty = lines({u"<?xml version=\"1.0\" encoding=\"Shift_JIS\"?>", u"<ROWSET>", u"</ROWSET>"});
        QCOMPARE(buildDocument(readSheet(workbook, 3), Settings{}), empty);
        QCOMPARE(buildDocument(readSheet(workbook, 4), Settings{}), empty);
    }

    void tagNameSettingsStayUsable()
    {
        const xls::SheetTable hidden = readSheet(fixture("fixtures-biff8.xls"), 2);
        Settings settings;
        settings.charset = QStringLiteral("any text");
        settings.rowset = QStringLiteral("  ");
        settings.row = QStringLiteral("1 row");
        QCOMPARE(buildDocument(hidden, settings),
                 lines({u"<?xml version=\"1.0\" encoding=\"any text\"?>", u"<ROWSET>", u"<_x0031__x0020_row>",
                        u"<Key>secret</Key>", u"<Value>7</Value>", u"</_x0031__x0020_row>", u"</ROWSET>"}));
        settings.row.clear();
        QVERIFY(buildDocument(hidden, settings).contains(QStringLiteral("\r\n<ROW>\r\n")));
    }

    void fileBytesFollowTheDeclaredCharset_data()
    {
        QTest::addColumn<QString>("charset");
        QTest::newRow("Shift_JIS") << QStringLiteral("Shift_JIS");
        QTest::newRow("UTF-8") << QStringLiteral("UTF-8");
        QTest::newRow("EUC-JP") << QStringLiteral("EUC-JP");
        QTest::newRow("ISO-2022-JP") << QStringLiteral("ISO-2022-JP");
    }

    void fileBytesFollowTheDeclaredCharset()
    {
        QFETCH(QString, charset);
        TempWorkDir dir;
        const QString document = buildDocument(readSheet(fixture("fixtures-biff8.xls"), 0), withCharset(charset));
        QCOMPARE(saveDocument(dir.filePath(QStringLiteral("out.xml")), document, charset), QString());
        const QByteArray written = dir.read(QStringLiteral("out.xml"));
        QStringDecoder decoder(charset.toLatin1().constData());
        QCOMPARE(decoder.decode(written), employeesDocument(charset) + QStringLiteral("\r\n"));
        QVERIFY(!decoder.hasError());
        if (charset == u"Shift_JIS")
            QVERIFY(written.contains("<\x8e\xd0\x88\xf5\x94\xd4\x8d\x86>1<")); // <社員番号>1<
        QVERIFY(written.endsWith("</ROWSET>\r\n\r\n") || written.endsWith("</ROWSET>\r\n\r\n\x1b(B"));
    }

    void writtenPieceByPieceEqualsTheSave_data()
    {
        fileBytesFollowTheDeclaredCharset_data();
    }

    void writtenPieceByPieceEqualsTheSave()
    {
        QFETCH(QString, charset);
        QString error;
        for (const char *name : {"fixtures-biff8.xls", "fixtures-biff5-ja.xls"}) {
            const std::unique_ptr<xls::Workbook> workbook = xls::Workbook::open(fixture(name), &error);
            for (qsizetype sheet = 0; sheet < workbook->sheetNames().size(); ++sheet) {
                const xls::SheetTable table = *workbook->readSheet(sheet, &error);
                const QByteArray saved = documentFileBytes(buildDocument(table, withCharset(charset)), charset).bytes;
                for (const qsizetype pieceLength : {1, 100, 1 << 16}) {
                    QBuffer written;
                    written.open(QIODevice::WriteOnly);
                    QCOMPARE(writeDocumentFile(written, table, withCharset(charset), pieceLength), QString());
                    QCOMPARE(written.data(), saved);
                }
            }
        }
    }

    void unwritableTagNamesWriteNothing()
    {
        const xls::SheetTable employees = readSheet(fixture("fixtures-biff8.xls"), 0);
        QBuffer written;
        written.open(QIODevice::WriteOnly);
        QVERIFY(!writeDocumentFile(written, employees, withCharset(QStringLiteral("ISO-8859-1"))).isEmpty());
        QVERIFY(!writeDocumentFile(written, employees, withCharset(QStringLiteral("no-such-charset"))).isEmpty());
        QCOMPARE(written.data(), QByteArray());
    }

    void unrepresentableCharactersBecomeReferences()
    {
        const QString document = QStringLiteral("<?xml version=\"1.0\"?>\r\n<R>\r\n<名前>café 😀 ①</名前>\r\n</R>\r\n");
        const EncodeResult latin = encodeDocument(document, QStringLiteral("ISO-8859-1"));
        QVERIFY(!latin.ok);
        QVERIFY(latin.errorString.contains(QStringLiteral("名")));

        const EncodeResult shiftJis = encodeDocument(document, QStringLiteral("Shift_JIS"));
        QVERIFY(shiftJis.ok);
        QStringDecoder decoder("Shift_JIS");
        QCOMPARE(decoder.decode(shiftJis.bytes),
                 QStringLiteral("<?xml version=\"1.0\"?>\r\n<R>\r\n<名前>caf&#233; &#128512; ①</名前>\r\n</R>\r\n"));

        const EncodeResult unknown = encodeDocument(document, QStringLiteral("no-such-charset"));
        QVERIFY(!unknown.ok);
        QVERIFY(unknown.errorString.contains(QStringLiteral("no-such-charset")));
    }

    void failedSavesLoseNothing()
    {
        TempWorkDir dir;
        const QString target = dir.filePath(QStringLiteral("kept.xml"));
        dir.write(QStringLiteral("kept.xml"), "old content");
        QFile::setPermissions(target, QFileDevice::ReadOwner);
        QVERIFY(!saveDocument(target, QStringLiteral("<R/>"), QStringLiteral("UTF-8")).isEmpty());
        QCOMPARE(dir.read(QStringLiteral("kept.xml")), QByteArray("old content"));

        QFile::setPermissions(target, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
        QVERIFY(!saveDocument(target, QStringLiteral("<R/>"), QStringLiteral("no-such-charset")).isEmpty());
        QCOMPARE(dir.read(QStringLiteral("kept.xml")), QByteArray("old content"));

        QVERIFY(!saveDocument(dir.filePath(QStringLiteral("missing/out.xml")), QStringLiteral("<R/>"),
                              QStringLiteral("UTF-8"))
                     .isEmpty());

        QCOMPARE(saveDocument(target, QStringLiteral("<R/>\r\n"), QStringLiteral("UTF-8")), QString());
        QCOMPARE(dir.read(QStringLiteral("kept.xml")), QByteArray("<R/>\r\n\r\n"));
    }
};

QTEST_GUILESS_MAIN(TestConversion)
#include "tst_conversion.moc"
