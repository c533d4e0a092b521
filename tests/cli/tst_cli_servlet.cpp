#include "core/config/ConfigFile.h"
#include "core/document/XmlDocument.h"
#include "core/document/XmlName.h"

#include "tests/common/CliProcess.h"
#include "tests/common/Fixtures.h"
#include "tests/common/Requirements.h"
#include "tests/common/TempWorkDir.h"
#include "tests/core/send/ServletStandIn.h"

#include <QStandardPaths>
#include <QTemporaryDir>
#include <QXmlStreamReader>

#include <memory>

using namespace tessaly;

namespace {

QString fromBase64(QStringView text)
{
    return QString::fromUtf8(QByteArray::fromBase64(text.toLatin1()));
}

// Every cell of a document as "name=text" (by XML's reading: references resolved).
QStringList cellsOf(const QString &document)
{
    QStringList cells;
    QXmlStreamReader reader(document);
    reader.readNextStartElement(); // the rows' parent
    while (reader.readNextStartElement()) {
        while (reader.readNextStartElement())
            cells.append(reader.name().toString() + u'=' + reader.readElementText());
    }
    return cells;
}

} // namespace

// tessaly-cli send against a real Java servlet (Jetty 9 from Debian, the JDK's DOM parser, a form
// without charset decoded as ISO-8859-1 like Tomcat does), in every charset and in the ways servlets
// read the form: each cell must arrive exactly as the document holds it.
class TestCliServlet : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QStringList classPath;
        for (const char *jar :
             {"jetty9-server", "jetty9-servlet", "jetty9-util", "jetty9-http", "jetty9-io", "jetty9-security", "servlet-api"}) {
            classPath.append(QStringLiteral("/usr/share/java/%1.jar").arg(QLatin1String(jar)));
            if (!QFile::exists(classPath.last()) || QStandardPaths::findExecutable(QStringLiteral("javac")).isEmpty())
                MISSING("javac or the Jetty 9 jars are missing (default-jdk-headless, libjetty9-java)");
        }
        const QStringList javac = {QStringLiteral("-cp"), classPath.join(u':'), QStringLiteral("-d"), m_classes.path(),
                                   QStringLiteral(TESSALY_INSERT_SERVLET)};
        QCOMPARE(QProcess::execute(QStringLiteral("javac"), javac), 0);
        m_servlet = std::make_unique<ServletStandIn>(QStringList{
            QStringLiteral("java"), QStringLiteral("-cp"), m_classes.path() + u':' + classPath.join(u':'),
            QStringLiteral("-Dorg.eclipse.jetty.util.UrlEncoding.charset=ISO-8859-1"), QStringLiteral("InsertServlet")});
        QVERIFY(m_servlet->isRunning());
    }

    void everyCellArrivesExactly_data()
    {
        QTest::addColumn<QString>("charset");
        QTest::addColumn<QString>("decoding"); // the servlet's path: see InsertServlet.java
        QTest::addColumn<QString>("table");
        QTest::addColumn<QString>("book"); // a .csv fixture, written as <book>-biff8.xls
        const QString japanese = QStringLiteral("社員_EMP");
        const QString hardCases = QStringLiteral("hard-cases");
        for (const char *decoding : {"Shift_JIS", "Windows-31J", "old/Shift_JIS"})
            QTest::addRow("Shift_JIS read as %s", decoding)
                << QStringLiteral("Shift_JIS") << QString::fromLatin1(decoding) << japanese << hardCases;
        for (const char *charset : {"Windows-31J", "EUC-JP", "ISO-2022-JP", "UTF-8", "GB18030"})
            QTest::newRow(charset) << QString::fromLatin1(charset) << QString::fromLatin1(charset) << japanese << hardCases;
        QTest::newRow("EUC-JP read as old/EUC-JP") << u"EUC-JP"_qs << u"old/EUC-JP"_qs << japanese << hardCases;
        // Sent in UTF-8, and the header says so.
        QTest::newRow("UTF-16") << u"UTF-16"_qs << u"header"_qs << japanese << hardCases;
        for (const char *charset : {"windows-1252", "Big5"})
            QTest::newRow(charset) << QString::fromLatin1(charset) << QString::fromLatin1(charset) << QStringLiteral("EMP")
                                   << hardCases;
        for (const char *charset : {"Shift_JIS", "EUC-JP", "ISO-2022-JP", "UTF-8", "windows-1252"})
            QTest::addRow("name headings in %s", charset) << QString::fromLatin1(charset) << QString::fromLatin1(charset)
                                                          << QStringLiteral("EMP") << QStringLiteral("name-headings");
        QTest::newRow("name headings in UTF-16")
            << u"UTF-16"_qs << u"header"_qs << QStringLiteral("EMP") << QStringLiteral("name-headings");
    }

    void everyCellArrivesExactly()
    {
        QFETCH(QString, charset);
        QFETCH(QString, decoding);
        QFETCH(QString, table);
        QFETCH(QString, book);
        const QString workbook = fixture(qPrintable(book + QStringLiteral("-biff8.xls")));
        TempWorkDir dir;
        Settings settings;
        settings.url = m_servlet->url(u"/insert/"_qs + decoding);
        settings.charset = charset;
        settings.table = table;
        settings.timeout = u"1000"_qs; // stored above the network dialog's range: used as it is
        QVERIFY(ConfigDocument().save(settings, kConfigFileName).ok());

        const qsizetype before = m_servlet->requests().size();
        const CliRun sent = runCli({QStringLiteral("send"), workbook});
        QVERIFY2(sent.exitCode == 0, sent.output.constData());
        QTRY_VERIFY(m_servlet->requests().size() > before);
        const QStringList received = m_servlet->requests().at(before).split(u' ');
        QStringList cells;
        QStringList headings;
        for (const QString &cell : received.mid(1)) {
            cells.append(fromBase64(cell.section(u'=', 0, 0)) + u'=' + fromBase64(cell.section(u'=', 1)));
            headings.append(fromXmlName(fromBase64(cell.section(u'=', 0, 0))));
        }
        QCOMPARE(fromBase64(received.value(0)), table);
        QCOMPARE(cells, cellsOf(buildDocument(readSheet(workbook, 0), settings)));
        // Every record's names map back to the headings exactly.
        QStringList expected;
        while (expected.size() < headings.size())
            expected += fixtureHeadings(qPrintable(book + QStringLiteral(".csv")));
        QCOMPARE(headings, expected);
    }

    // An error status ends the send non-zero (scripts test for it); the answer is shown. So does a
    // send that never starts, showing the refusal.
    void errorStatusOrRefusalEndsNonZero()
    {
        TempWorkDir dir;
        const QByteArray url = m_servlet->url(u"/insert/no-such-charset"_qs).toUtf8();
        dir.write(kConfigFileName, ConfigDocument::defaultText().replace(Settings{}.url.toUtf8(), url));
        const CliRun sent = runCli({QStringLiteral("send"), fixture("hard-cases-biff8.xls")});
        QCOMPARE(sent.exitCode, 1);
        QVERIFY2(sent.output.contains("no-such-charset"), sent.output.constData());

        dir.write(kConfigFileName, ConfigDocument::defaultText().replace("<timeout>60<", "<timeout>-1<"));
        const CliRun refused = runCli({QStringLiteral("send"), fixture("hard-cases-biff8.xls")});
        QCOMPARE(refused.exitCode, 1);
        QCOMPARE(refused.output, (invalidTimeoutText() + u'\n').toUtf8());
    }

private:
    QTemporaryDir m_classes;
    std::unique_ptr<ServletStandIn> m_servlet;
};

QTEST_GUILESS_MAIN(TestCliServlet)
#include "tst_cli_servlet.moc"
