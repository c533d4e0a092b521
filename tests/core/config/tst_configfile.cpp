#include "core/config/ConfigFile.h"

#include "tests/common/TempWorkDir.h"

#include <QScopeGuard>
#include <QStringEncoder>
#include <QTest>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

using namespace tessaly;

namespace {

// Loads `path` into `doc` and reads the settings from it.
Settings loadInto(ConfigDocument &doc, const QString &path = kConfigFileName)
{
    doc.load(path);
    Settings settings;
    doc.readInto(settings);
    return settings;
}

} // namespace

class TestConfigFile : public QObject {
    Q_OBJECT

private slots:
    void loadedTreeKeepsUnknownContentAndDropsLayout()
    {
        TempWorkDir dir;
        // Whatever the file declared, it is written back as UTF-8 under a plain declaration. Names match
        // exactly, the first match wins, and a leaf of another section is no setting.
        const QString text = QString::fromUtf8(R"(<?xml version="1.0" encoding="Shift_JIS"?>
<!-- kept comment -->
<XMLConfig version="2">
  <DB note="x"><table>従業員<b>ﾃｰ</b>ﾌﾞﾙ</table><extra>keep me</extra></DB>
  <db><table>lower-case section</table></db>
  <xmlSetting><rowset>R1</rowset><user>misplaced</user><Charset>Capital</Charset></xmlSetting>
  <xmlSetting><charset>second-section</charset><charset>later</charset><rowset>R2</rowset></xmlSetting>
  <?app keep?>
</XMLConfig>)");
        dir.write(kConfigFileName, QByteArray(QStringEncoder("Shift_JIS").encode(text)).replace("\n", "\r\n"));
        ConfigDocument doc;
        Settings settings = loadInto(doc);
        QCOMPARE((QStringList{settings.table, settings.rowset, settings.charset, settings.user}),
                 (QStringList{u"従業員ﾃｰﾌﾞﾙ"_qs, u"R1"_qs, u"second-section"_qs, QString()}));

        settings.user = QStringLiteral("scott");
        QVERIFY(doc.save(settings, kConfigFileName).ok());
        // A missing leaf goes to the first section of its name, a missing section after the others.
        QCOMPARE(dir.read(kConfigFileName),
                 QByteArray("<?xml version=\"1.0\"?>\r\n<!-- kept comment -->\r\n<XMLConfig version=\"2\">"
                            "<DB note=\"x\"><table>従業員ﾃｰﾌﾞﾙ</table><extra>keep me</extra></DB>"
                            "<db><table>lower-case section</table></db>"
                            "<xmlSetting><rowset>R1</rowset><user>misplaced</user><Charset>Capital</Charset>"
                            "<row>ROW</row></xmlSetting>"
                            "<xmlSetting><charset>second-section</charset><charset>later</charset><rowset>R2</rowset>"
                            "</xmlSetting><?app keep?>"
                            "<network><url>http://localhost:8080/servlets/Insert</url><protocol>icDefault</protocol>"
                            "<proxy></proxy><user>scott</user><password></password><timeout>60</timeout></network>"
                            "</XMLConfig>"));
    }

    void unusableFilesGiveDefaultsAndAreReplaced_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::newRow("missing") << QByteArray();
        QTest::newRow("ill-formed") << QByteArray("<XMLConfig><DB><table>X</table></XMLConfig>");
        QTest::newRow("other root") << QByteArray("<Config><DB><table>X</table></DB></Config>");
        // Accepted by pugixml, yet not XML.
        QTest::newRow("bare ampersand") << QByteArray("<XMLConfig><DB><table>A&B</table></DB></XMLConfig>");
        QTest::newRow("repeated attribute") << QByteArray("<XMLConfig a=\"1\" a=\"2\"><DB/></XMLConfig>");
        QTest::newRow("control character") << QByteArray("<XMLConfig><DB><table>X\x01</table></DB></XMLConfig>");
    }

    void unusableFilesGiveDefaultsAndAreReplaced()
    {
        QFETCH(QByteArray, content);
        TempWorkDir dir;
        if (!content.isNull())
            dir.write(kConfigFileName, content);
        ConfigDocument doc;
        Settings settings = loadInto(doc);
        QVERIFY(!doc.isUsable());
        QCOMPARE(settings, Settings{});

        settings.table = QStringLiteral("社員");
        settings.password = QStringLiteral("a&b<c>\"d'");
        QVERIFY(doc.save(settings, kConfigFileName).ok());
        QByteArray expected(
            "<?xml version=\"1.0\"?>\r\n<XMLConfig>\r\n  <xmlSetting>\r\n    <charset>Shift_JIS</charset>\r\n"
            "    <rowset>ROWSET</rowset>\r\n    <row>ROW</row>\r\n  </xmlSetting>\r\n  <network>\r\n"
            "    <url>http://localhost:8080/servlets/Insert</url>\r\n    <protocol>icDefault</protocol>\r\n"
            "    <proxy></proxy>\r\n    <user></user>\r\n    <password>a&amp;b&lt;c&gt;\"d'</password>\r\n"
            "    <timeout>60</timeout>\r\n  </network>\r\n  <DB>\r\n    <table>EMP</table>\r\n  </DB>\r\n</XMLConfig>");
        QCOMPARE(dir.read(kConfigFileName), QByteArray(expected).replace(">EMP<", ">社員<"));
        ConfigDocument reloaded;
        QCOMPARE(loadInto(reloaded), settings);
        // The password is in clear text: nobody but the owner may read a new file.
        if (content.isNull())
            QCOMPARE(QFile::permissions(kConfigFileName) & ~(QFileDevice::ReadUser | QFileDevice::WriteUser),
                     QFileDevice::ReadOwner | QFileDevice::WriteOwner);

        // A second save in the same run starts from the tree in memory, not from the file.
        dir.write(kConfigFileName, "<XMLConfig/>");
        settings.table = QStringLiteral("DEPT");
        QVERIFY(doc.save(settings, kConfigFileName).ok());
        QCOMPARE(dir.read(kConfigFileName), expected.replace(">EMP<", ">DEPT<"));
    }

#ifdef Q_OS_UNIX
    // Where no temporary file can be made beside it, a writable file is written in place; a new one
    // cannot be made, and the reason is given in Japanese. Root may write anywhere: it acts as nobody.
    void saveInAFolderThatIsNotWritable()
    {
        TempWorkDir dir;
        dir.write(kConfigFileName, "<XMLConfig/>");
        QFile::setPermissions(kConfigFileName, QFileDevice::Permissions(0x6666)); // rw-rw-rw-
        QFile::setPermissions(dir.path(), QFileDevice::Permissions(0x5555)); // r-xr-xr-x
        const bool root = geteuid() == 0;
        // Put back whatever an assertion leaves behind, so that the folder can be removed.
        const auto restore = qScopeGuard([&] {
            if (root && seteuid(0) != 0)
                qFatal("cannot become root again");
            QFile::setPermissions(dir.path(), QFileDevice::Permissions(0x7700));
        });
        ConfigDocument doc;
        QVERIFY(!root || seteuid(65534) == 0);
        const Outcome existing = doc.save(Settings{}, kConfigFileName);
        const Outcome created = doc.save(Settings{}, QStringLiteral("new.xml"));
        QVERIFY2(existing.ok(), qPrintable(existing.ok() ? QString() : existing.failure().message));
        QCOMPARE(dir.read(kConfigFileName), ConfigDocument::defaultText());
        QVERIFY(!created.ok());
        QVERIFY2(created.failure().message.endsWith(QStringLiteral("アクセスが拒否されました")),
                 qPrintable(created.failure().message));
    }
#endif
};

QTEST_GUILESS_MAIN(TestConfigFile)
#include "tst_configfile.moc"
