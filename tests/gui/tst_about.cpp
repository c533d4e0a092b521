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

    bool isFile(const QString &path) override { return files.contains(path); }
    bool start(const QString &programPath) override
    {
        started.append(programPath);
        return true;
    }
};

} // namespace

class TestAbout : public QObject {
    Q_OBJECT

private slots:
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
        QCOMPARE(running.prompter.shown.last().text, QStringLiteral("現時点ではｼｽﾃﾑ情報を使用できません"));
    }
};

QTEST_MAIN(TestAbout)
#include "tst_about.moc"
