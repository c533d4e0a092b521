#include "gui/MainWindow.h"
#include "gui/SystemInfo.h"
#include "gui/dialogs/AboutDialog.h"

#include "tests/common/RunningWindow.h"
#include "tests/common/TempWorkDir.h"
#include "tests/gui/ModalDialog.h"

#include <QLabel>
#include <QMap>
#include <QPushButton>
#include <QSet>

using namespace tessaly;

namespace {

const QString kToolPathKey = QStringLiteral("SOFTWARE\\Microsoft\\Shared Tools\\MSINFO");
const QString kToolFolderKey = QStringLiteral("SOFTWARE\\Microsoft\\Shared Tools Location");
const QString kUnavailable = QStringLiteral("現時点ではｼｽﾃﾑ情報を使用できません");

class FakeRegistry final : public Registry {
public:
    QMap<QPair<QString, QString>, RegistryValue> values;

    void setString(const QString &key, const QString &value, const QByteArray &data)
    {
        values.insert({key, value}, RegistryValue{kRegistryString, data});
    }

    std::optional<RegistryValue> read(RegistryRoot root, const QString &keyName, const QString &valueName) override
    {
        if (root != RegistryRoot::LocalMachine || !values.contains({keyName, valueName}))
            return std::nullopt;
        return values.value({keyName, valueName});
    }
};

class FakeLauncher final : public ProgramLauncher {
public:
    QSet<QString> files;
    QStringList filesAskedFor;
    QStringList started;
    bool startSucceeds = true;

    bool isFile(const QString &path) override
    {
        filesAskedFor.append(path);
        return files.contains(path);
    }

    bool start(const QString &programPath) override
    {
        started.append(programPath);
        return startSucceeds;
    }
};

QString readValue(FakeRegistry &registry, const RegistryValue &value, const QString &before = {})
{
    registry.values.insert({QStringLiteral("K"), QStringLiteral("V")}, value);
    QString keyValue = before;
    if (!registryValue(registry, RegistryRoot::LocalMachine, QStringLiteral("K"), QStringLiteral("V"), keyValue))
        return QStringLiteral("<false:%1>").arg(keyValue);
    return keyValue;
}

} // namespace

class TestAbout : public QObject {
    Q_OBJECT

private slots:
    void getKeyValueCutsAtTheReturnedSize()
    {
        FakeRegistry registry;
        QCOMPARE(readValue(registry, {kRegistryString, QByteArray("C:\\msinfo32.exe\0", 16)}),
                 QStringLiteral("C:\\msinfo32.exe"));
        QCOMPARE(readValue(registry, {kRegistryString, QByteArray("abc")}), QStringLiteral("abc"));
        QCOMPARE(readValue(registry, {kRegistryString, QByteArray("a\0b\0", 4)}), QString::fromUtf16(u"a\0b", 3));
        QCOMPARE(readValue(registry, {kRegistryString, QByteArray()}), QString());

        // 1024 bytes fit the buffer; one more counts as absent and empties the result.
        QCOMPARE(readValue(registry, {kRegistryString, QByteArray(1023, 'x') + '\0'}), QString(1023, u'x'));
        QCOMPARE(readValue(registry, {kRegistryString, QByteArray(1024, 'x')}), QString(1024, u'x'));
        QCOMPARE(readValue(registry, {kRegistryString, QByteArray(1025, 'x')}, QStringLiteral("old")),
                 QStringLiteral("<false:>"));

        // Numbers as decimal text; other types leave the text as it was but succeed.
        QCOMPARE(readValue(registry, {kRegistryNumber, QByteArray("\x2c\x01\0\0", 4)}), QStringLiteral("300"));
        QCOMPARE(readValue(registry, {3, QByteArray("\x01\x02", 2)}, QStringLiteral("old")), QStringLiteral("old"));

        QString keyValue = QStringLiteral("old");
        QVERIFY(!registryValue(registry, RegistryRoot::LocalMachine, QStringLiteral("K"), QStringLiteral("missing"),
                             keyValue));
        QCOMPARE(keyValue, QString());
    }

    void launcherPrefersTheRegisteredPath()
    {
        FakeRegistry registry;
        registry.setString(kToolPathKey, QStringLiteral("PATH"), QByteArray("C:\\Tools\\msinfo32.exe\0", 22));
        registry.setString(kToolFolderKey, QStringLiteral("MSINFO"), QByteArray("C:\\Other\0", 9));
        FakeLauncher launcher;
        QVERIFY(launchSystemInfo(registry, launcher));
        QCOMPARE(launcher.started, QStringList{QStringLiteral("C:\\Tools\\msinfo32.exe")});
        QCOMPARE(launcher.filesAskedFor, QStringList());

        launcher.startSucceeds = false;
        QVERIFY(!launchSystemInfo(registry, launcher));
    }

    void launcherFallsBackToTheFolderWithItsProgramFile()
    {
        FakeRegistry registry;
        registry.setString(kToolFolderKey, QStringLiteral("MSINFO"), QByteArray("C:\\MSInfo\0", 10));
        FakeLauncher launcher;
        QVERIFY(!launchSystemInfo(registry, launcher));
        QCOMPARE(launcher.filesAskedFor, QStringList{QStringLiteral("C:\\MSInfo\\MSINFO32.EXE")});
        QCOMPARE(launcher.started, QStringList());

        launcher.files.insert(QStringLiteral("C:\\MSInfo\\MSINFO32.EXE"));
        QVERIFY(launchSystemInfo(registry, launcher));
        QCOMPARE(launcher.started, QStringList{QStringLiteral("C:\\MSInfo\\MSINFO32.EXE")});

        FakeRegistry empty;
        QVERIFY(!launchSystemInfo(empty, launcher));
    }

    void aboutBoxShowsNameAndVersionAndReportsAMissingTool()
    {
        ScriptedPrompter prompter;
        FakeRegistry registry;
        FakeLauncher launcher;
        AboutDialog about(prompter, registry, launcher, nullptr);
        QCOMPARE(about.windowTitle(), QStringLiteral("Tessalyのﾊﾞｰｼﾞｮﾝ情報"));
        QCOMPARE(field<QLabel>(about, "versionLabel")->text(), QStringLiteral("ﾊﾞｰｼﾞｮﾝ 1.0.0"));
        QVERIFY(field<QPushButton>(about, "okButton")->isDefault());

        field<QPushButton>(about, "systemInfoButton")->click();
        QCOMPARE(prompter.shown.size(), 1);
        QCOMPARE(prompter.shown.first().text, kUnavailable);
        QCOMPARE(prompter.shown.first().title, QStringLiteral("Tessaly"));
        QCOMPARE(prompter.shown.first().icon, MessageIcon::None);
        QCOMPARE(prompter.shown.first().buttons, MessageButtons::Ok);
    }

    void aboutMenuOpensTheBoxAndEnterOrEscapeClosesIt_data()
    {
        QTest::addColumn<int>("key");
        QTest::newRow("enter") << int(Qt::Key_Return);
        QTest::newRow("escape") << int(Qt::Key_Escape);
    }

    void aboutMenuOpensTheBoxAndEnterOrEscapeClosesIt()
    {
        QFETCH(int, key);
        TempWorkDir dir;
        RunningWindow running;

        // Here there is no registry: the launcher reports the tool unavailable.
        whenModal<AboutDialog>([key, &running](AboutDialog &about) {
            QCOMPARE(about.parentWidget(), static_cast<QWidget *>(&running.window));
            field<QPushButton>(about, "systemInfoButton")->click();
            QTest::keyClick(&about, Qt::Key(key));
        });
        running.trigger("aboutAction");
        QCOMPARE(running.prompter.shown.size(), 1);
        QCOMPARE(running.prompter.shown.last().text, kUnavailable);
    }
};

QTEST_MAIN(TestAbout)
#include "tst_about.moc"
