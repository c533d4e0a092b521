#include "core/document/XmlDocument.h"

#include "tests/common/Fixtures.h"
#include "tests/common/TempWorkDir.h"

#include <QBuffer>
#include <QProcess>
#include <QTest>

using namespace tessaly;

// Every charset writes the hard cases so that every common decoder of its name reads the saved file
// back as exactly the composed document. (tst_cli_servlet has a Java servlet read the request's
// fields and maps every name back to its heading.)
class TestCharsets : public QObject {
    Q_OBJECT

private slots:
    void everyDecoderReadsTheDocumentBack_data()
    {
        QTest::addColumn<QString>("charset");
        QTest::addColumn<QString>("book"); // a .csv fixture, written as <book>-biff8.xls
        for (const char *book : {"hard-cases", "name-headings"}) {
            for (const char *charset : {"Shift_JIS", "Windows-31J", "EUC-JP", "ISO-2022-JP", "UTF-8", "UTF-16", "GB18030",
                                        "windows-1252", "ISO-8859-1", "Big5", "EUC-KR", "KOI8-R"})
                QTest::addRow("%s %s", book, charset) << QString::fromLatin1(charset) << QString::fromLatin1(book);
        }
    }

    void everyDecoderReadsTheDocumentBack()
    {
        QFETCH(QString, charset);
        QFETCH(QString, book);
        Settings settings;
        settings.charset = charset;
        const QString path = fixture(qPrintable(book + QStringLiteral("-biff8.xls")));
        const workbook::SheetTable sheet = readSheet(path, 0);
        const QString document = buildDocument(sheet, settings);
        TempWorkDir dir;
        dir.write(QStringLiteral("expected.xml"), document.toUtf8());
        QVERIFY(saveDocument(dir.filePath(QStringLiteral("saved.xml")), *readSheetInBands(path, 0, 3).bands, settings).ok());
        const QByteArray saved = dir.read(QStringLiteral("saved.xml"));
        // The window saves the document it shows: the same bytes, whatever the bands and pieces.
        QCOMPARE(documentFileBytes(document, charset).value(), saved);
        QBuffer inPieces;
        inPieces.open(QIODevice::WriteOnly);
        QVERIFY(writeDocumentFile(inPieces, *readSheetInBands(path, 0, 1).bands, settings, 1).ok());
        QCOMPARE(inPieces.data(), saved);

        // read_back.py prints what differs into the test's log.
        const QStringList readBack{QStringLiteral(TESSALY_READ_BACK), charset, dir.path()};
        QCOMPARE(QProcess::execute(QStringLiteral("/usr/bin/python3"), readBack), 0);
    }
};

QTEST_GUILESS_MAIN(TestCharsets)
#include "tst_charsets.moc"
