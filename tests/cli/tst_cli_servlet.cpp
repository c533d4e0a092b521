#include "core/config/ConfigFile.h"
#include "core/document/XmlDocument.h"

#include "tests/common/CliProcess.h"
#include "tests/common/Fixtures.h"
#include "tests/common/TempWorkDir.h"

#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QXmlStreamReader>

using namespace tessaly;

namespace {

const QStringList kJars = {QStringLiteral("jetty9-server"), QStringLiteral("jetty9-servlet"), QStringLiteral("jetty9-util"),
                           QStringLiteral("jetty9-http"), QStringLiteral("jetty9-io"), QStringLiteral("jetty9-security"),
                           QStringLiteral("servlet-api")};

// Every cell of a document as "name=text" (by XML's reading: references resolved).
QStringList cellsOf(const QString &document)
{
    QStringList cells;
    QXmlStreamReader reader(document);
    int depth = 0;
    while (!reader.atEnd()) {
        reader.readNext();
        if (reader.isStartElement() && ++depth == 3) {
            const QString name = reader.name().toString();
            cells.append(name + u'=' + reader.readElementText());
            --depth;
        } else if (reader.isEndElement()) {
            --depth;
        }
    }
    return cells;
}

} // namespace

// tessaly-cli send against a real Java servlet (Jetty 9 from Debian, the JDK's DOM parser), in
// every charset: each cell must arrive exactly as the document holds it.
class TestCliServlet : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QStringList classPath;
        for (const QString &jar : kJars)
            classPath.append(QStringLiteral("/usr/share/java/%1.jar").arg(jar));
        const bool present = std::all_of(classPath.begin(), classPath.end(), [](const QString &jar) { return QFile::exists(jar); })
                             && !QStandardPaths::findExecutable(QStringLiteral("javac")).isEmpty();
        if (!present) {
            if (qgetenv("CI") == "true")
                QFAIL("javac or the Jetty 9 jars are missing (default-jdk-headless, libjetty9-java)");
            QSKIP("javac or the Jetty 9 jars are missing (default-jdk-headless, libjetty9-java)");
        }
        QVERIFY(m_classes.isValid());
        QCOMPARE(QProcess::execute(QStringLiteral("javac"), {QStringLiteral("-cp"), classPath.join(u':'), QStringLiteral("-d"),
                                                             m_classes.path(), QStringLiteral(TESSALY_INSERT_SERVLET)}),
                 0);
        classPath.prepend(m_classes.path());
        m_servlet.start(QStringLiteral("java"), {QStringLiteral("-cp"), classPath.join(u':'), QStringLiteral("InsertServlet")});
        while (m_port == 0 && m_servlet.waitForReadyRead(30000)) {
            const QByteArray line = m_servlet.readLine().trimmed();
            if (line.startsWith("PORT "))
                m_port = line.mid(5).toInt();
        }
        QVERIFY2(m_port != 0, m_servlet.readAllStandardError().constData());
    }

    void cleanupTestCase()
    {
        m_servlet.kill();
        m_servlet.waitForFinished();
    }

    void everyCellArrivesExactly_data()
    {
        QTest::addColumn<QString>("charset");
        QTest::addColumn<QString>("decoding"); // "header": the Content-Type charset; else setCharacterEncoding
        QTest::addColumn<QString>("table");
        const QString japanese = QStringLiteral("社員_EMP");
        for (const char *decoding : {"header", "Shift_JIS", "Windows-31J"})
            QTest::addRow("Shift_JIS read as %s", decoding) << QStringLiteral("Shift_JIS") << QString::fromLatin1(decoding) << japanese;
        QTest::newRow("Windows-31J read as Windows-31J") << QStringLiteral("Windows-31J") << QStringLiteral("Windows-31J") << japanese;
        for (const char *charset : {"Windows-31J", "EUC-JP", "ISO-2022-JP", "UTF-8", "UTF-16", "GB18030"})
            QTest::newRow(charset) << QString::fromLatin1(charset) << QStringLiteral("header") << japanese;
        for (const char *charset : {"windows-1252", "ISO-8859-1", "Big5", "EUC-KR"})
            QTest::newRow(charset) << QString::fromLatin1(charset) << QStringLiteral("header") << QStringLiteral("EMP");
    }

    void everyCellArrivesExactly()
    {
        QFETCH(QString, charset);
        QFETCH(QString, decoding);
        QFETCH(QString, table);
        TempWorkDir dir;
        Settings settings;
        settings.charset = charset;
        settings.table = table;
        settings.url = QStringLiteral("http://127.0.0.1:%1/insert/%2").arg(m_port).arg(decoding);
        QByteArray config = ConfigDocument::defaultText();
        config.replace(Settings{}.url.toUtf8(), settings.url.toUtf8());
        config.replace(">Shift_JIS<", (u'>' + charset + u'<').toUtf8());
        config.replace(">EMP<", (u'>' + table + u'<').toUtf8());
        dir.write(kConfigFileName, config);

        const QString workbook = fixture("hard-cases-biff8.xls");
        const CliRun sent = runCli({QStringLiteral("send"), workbook});
        QVERIFY2(sent.exitCode == 0, sent.output.constData());
        QVERIFY(m_servlet.canReadLine() || m_servlet.waitForReadyRead(10000));
        const QList<QByteArray> received = m_servlet.readLine().trimmed().split(' ');

        QStringList cells;
        for (const QByteArray &cell : received.mid(1)) {
            const qsizetype equals = cell.indexOf('=');
            cells.append(QString::fromUtf8(QByteArray::fromBase64(cell.left(equals))) + u'='
                         + QString::fromUtf8(QByteArray::fromBase64(cell.mid(equals + 1))));
        }
        QCOMPARE(QString::fromUtf8(QByteArray::fromBase64(received.value(0))), table);
        QCOMPARE(cells, cellsOf(buildDocument(readSheet(workbook, 0), settings)));
    }

private:
    QTemporaryDir m_classes;
    QProcess m_servlet;
    int m_port = 0;
};

QTEST_GUILESS_MAIN(TestCliServlet)
#include "tst_cli_servlet.moc"
