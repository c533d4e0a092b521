#include "gui/MainWindow.h"
#include "gui/SystemInfo.h"
#include "gui/dialogs/AboutDialog.h"

#include "tests/common/RunningWindow.h"
#include "tests/common/TempWorkDir.h"
#include "tests/gui/ModalDialog.h"

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
    QStringList started;

    bool isFile(const QString &path) override
    {
        return files.contains(path);
    }

    bool start(const QString &programPath) override
    {
        started.append(programPath);
        return true;
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
    void registryValueCutsAtTheReturnedSize()
    {
        FakeRegistry registry;
        QCOMPARE(readValue(registry, {kRegistryString, QByteArray("C:\\msinfo32.exe\0", 16)}),
                 QStringLiteral("C:\\msinfo32.exe"));
        QCOMPARE(readValue(registry, {kRegistryString, QByteArray(1024, 'x')}), QString(1024, u'x'));
        QCOMPARE(readValue(registry, {kRegistryString, QByteArray(1025, 'x')}, QStringLiteral("old")),
                 QStringLiteral("<false:>"));
        QCOMPARE(readValue(registry, {kRegistryNumber, QByteArray("\x2c\x01\0\0", 4)}), QStringLiteral("300"));
    }

    void launcherPrefersTheRegisteredPathThenTheFolder()
    {
        FakeRegistry registry;
        registry.setString(kToolFolderKey, QStringLiteral("MSINFO"), QByteArray("C:\\MSInfo\0", 10));
        FakeLauncher launcher;
        QVERIFY(!launchSystemInfo(registry, launcher));
        launcher.files.insert(QStringLiteral("C:\\MSInfo\\MSINFO32.EXE"));
        QVERIFY(launchSystemInfo(registry, launcher));
        QCOMPARE(launcher.started, QStringList{QStringLiteral("C:\\MSInfo\\MSINFO32.EXE")});

        registry.setString(kToolPathKey, QStringLiteral("PATH"), QByteArray("C:\\Tools\\msinfo32.exe\0", 22));
        launcher.started.clear();
        QVERIFY(launchSystemInfo(registry, launcher));
        QCOMPARE(launcher.started, QStringList{QStringLiteral("C:\\Tools\\msinfo32.exe")});
    }

    void aboutMenuReportsAMissingToolAndEscapeCloses()
    {
        TempWorkDir dir;
        RunningWindow running;
        // Here there is no registry: the launcher reports the tool unavailable.
        whenModal<AboutDialog>([](AboutDialog &about) {
            field<QPushButton>(about, "systemInfoButton")->click();
            QTest::keyClick(&about, Qt::Key_Escape);
        });
        running.trigger("aboutAction");
        QCOMPARE(running.prompter.shown.size(), 1);
        QCOMPARE(running.prompter.shown.last().text, kUnavailable);
        QCOMPARE(running.prompter.shown.last().title, QStringLiteral("Tessaly"));
    }
};

QTEST_MAIN(TestAbout)
#include "tst_about.moc"
