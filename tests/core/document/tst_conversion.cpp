#include "core/document/XmlDocument.h"
#include "core/document/XmlName.h"

#include "tests/common/FailingDevice.h"
#include "tests/common/Fixtures.h"
#include "tests/common/TempWorkDir.h"

#include <QTest>

using namespace tessaly;

namespace {

QString lines(std::initializer_list<const char16_t *> parts)
{
    QString text;
    for (const char16_t *part : parts)
        text += QString::fromUtf16(part) + QStringLiteral("\r\n");
    return text;
}

} // namespace

class TestConversion : public QObject {
    Q_OBJECT

private slots:
    // The employees sheet as a save writes it: a heading with a space, a blank heading, one starting
    // with a digit; Japanese names and values, markup characters, a carriage return and a blank row.
    // (The other formats read the same tables: tst_workbook.)
    void documentIsExact()
    {
        const QString workbook = fixture("fixtures-biff8.xls");
        TempWorkDir dir;
        QVERIFY(saveDocument(dir.filePath(u"saved.xml"_qs), *readSheetInBands(workbook, 0, 2).bands, Settings{}).ok());
        QFile expected(fixture("fixtures-biff8-employees.xml"));
        QVERIFY(expected.open(QIODevice::ReadOnly));
        QCOMPARE(dir.read(u"saved.xml"_qs), expected.readAll());

        // A sheet with a heading row only, and one without values, have no rows.
        const QString empty = lines({u"<?xml version=\"1.0\" encoding=\"Shift_JIS\"?>", u"<ROWSET>", u"</ROWSET>"});
        QCOMPARE(buildDocument(readSheet(workbook, 3), Settings{}), empty);
        QCOMPARE(buildDocument(readSheet(workbook, 4), Settings{}), empty);
    }

    // Every record spells out every column: two cells at a sheet's far corners pass the bound.
    void sparseSheetsAreRefused()
    {
        const Outcome fits = checkDocumentLength(readSheet(QStringLiteral(TESSALY_TEST_DATA "/ooxml/sparse-corners.xlsx"), 0));
        QCOMPARE(fits ? QString() : fits.failure().message, u"このシートの XML 文書は上限の 4 GiB を超えるため読めません"_qs);
    }

    void unusableCharactersAreEscaped_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("expected");
        QTest::newRow("escape look-alike") << QStringLiteral("a_x0020_") << QStringLiteral("a_x005F_x0020_");
        QTest::newRow("combining mark after the start") << QStringLiteral("e\u0301") << QStringLiteral("e\u0301");
        // Names every XML 1.0 parser reads: expat and the JDK refuse what only the fifth edition allows.
        QTest::newRow("astral character") << QString::fromUcs4(U"\U00020BB7野家") << QStringLiteral("_x20BB7_野家");
        QTest::newRow("full-width digit") << QStringLiteral("第１表") << QStringLiteral("第_xFF11_表");
        QTest::newRow("extenders only after the start") << QStringLiteral("ー々ー") << QStringLiteral("_x30FC_々ー");
        QTest::newRow("half-width katakana and symbols")
            << QStringLiteral("ｺｰﾄﾞ×÷") << QStringLiteral("_xFF7A__xFF70__xFF84__xFF9E__x00D7__x00F7_");
        QTest::newRow("digit at the start") << QStringLiteral("1st") << QStringLiteral("_x0031_st");
        QTest::newRow("less-than") << QStringLiteral("a<b") << QStringLiteral("a_x003C_b");
        QTest::newRow("hyphen and dot only after the start") << QStringLiteral("-a.b") << QStringLiteral("_x002D_a.b");
        QTest::newRow("lone surrogate") << QStringLiteral("a") + QChar(0xD800) << QStringLiteral("a_xD800_");
    }

    void unusableCharactersAreEscaped()
    {
        QFETCH(QString, name);
        QFETCH(QString, expected);
        QCOMPARE(toXmlName(name), expected);
        QVERIFY(isXmlName(expected));
        // The receiver maps the name back; a lone surrogate is no character and stays escaped.
        QCOMPARE(fromXmlName(expected), name.contains(QChar(0xD800)) ? expected : name);
    }

    void tagNameSettingsStayUsable()
    {
        // A blank name falls back to the built-in one, any other is trimmed and made a name, the
        // charset is as typed but trimmed.
        Settings settings;
        settings.charset = QStringLiteral(" any text ");
        settings.rowset = QStringLiteral("  ");
        settings.row = QStringLiteral("1 row ");
        QCOMPARE(buildDocument(readSheet(fixture("fixtures-biff8.xls"), 2), settings),
                 lines({u"<?xml version=\"1.0\" encoding=\"any text\"?>", u"<ROWSET>", u"<_x0031__x0020_row>",
                        u"<Key>secret</Key>", u"<Value>7</Value>", u"</_x0031__x0020_row>", u"</ROWSET>"}));
    }

    void savedBytesFollowTheCharset()
    {
        // Bytes that the decoders of tst_charsets would accept in another form as well.
        QCOMPARE(encodeDocument(u"<名前>café 😀 ① \\</名前>\r\n", QStringLiteral("Shift_JIS")).value(),
                 QByteArray("<\x96\xbc\x91\x4f>caf&#233; &#128512; &#9312; &#92;</\x96\xbc\x91\x4f>\r\n"));
        QCOMPARE(encodeDocument(u"<名>髙ｱ</名>", QStringLiteral("ISO-2022-JP")).value(),
                 QByteArray("<\x1b$BL>\x1b(B>&#39641;&#65393;</\x1b$BL>\x1b(B>"));
        QCOMPARE(encodeDocument(u"<名>é</名>", QStringLiteral("ISO-8859-1")).value(), QByteArray("<_x540D_>\xe9</_x540D_>"));
    }

    void failedSavesLoseNothing()
    {
        TempWorkDir dir;
        const QString target = dir.filePath(QStringLiteral("kept.xml"));
        dir.write(QStringLiteral("kept.xml"), "old content");
        QFile::setPermissions(target, QFileDevice::ReadOwner);
        QVERIFY(!saveUtf8Document(target, "<R/>", QStringLiteral("UTF-8")).ok());
        QFile::setPermissions(target, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
        QVERIFY(!saveUtf8Document(target, "<R/>", QStringLiteral("no-such-charset")).ok());
        QCOMPARE(dir.read(QStringLiteral("kept.xml")), QByteArray("old content"));

        QVERIFY(saveUtf8Document(target, "<R/>\r\n", QStringLiteral("UTF-8")).ok());
        QCOMPARE(dir.read(QStringLiteral("kept.xml")), QByteArray("<R/>\r\n\r\n"));
    }

    // A device that fails part way (a full disk) fails the write with its reason, whether the
    // first piece, one in the middle or the closing line end is refused: the document composed
    // from the sheet in pieces, and the window's document recoded.
    void failingDevicesFailTheWrite()
    {
        const workbook::SheetTable sheet = readSheet(fixture("fixtures-biff8.xls"), 0);
        Settings settings;
        settings.charset = QStringLiteral("UTF-8");
        const QByteArray document = buildUtf8Document(sheet, settings);
        const qint64 size = document.size() + 2; // and the closing line end
        for (const qint64 capacity : {qint64(0), size / 2, size - 1, size}) {
            FailingDevice composed(capacity);
            FailingDevice recoded(capacity);
            const SheetInBands read = readSheetInBands(fixture("fixtures-biff8.xls"), 0, 2);
            for (const Outcome &written : {writeDocumentFile(composed, *read.bands, settings, 64),
                                           writeUtf8Document(recoded, document, DocumentCharset(settings.charset))}) {
                QCOMPARE(written.ok(), capacity == size);
                if (!written)
                    QCOMPARE(written.failure().message, QStringLiteral("ディスクに空きがありません"));
            }
        }
    }
};

QTEST_GUILESS_MAIN(TestConversion)
#include "tst_conversion.moc"
