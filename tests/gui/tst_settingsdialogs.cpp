#include "gui/DocumentView.h"
#include "gui/MainWindow.h"
#include "gui/dialogs/NetworkSettingsDialog.h"
#include "gui/dialogs/XmlSettingsDialog.h"

#include "tests/common/RunningWindow.h"
#include "tests/common/TempWorkDir.h"
#include "tests/gui/ModalDialog.h"

#include <QAction>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QScrollBar>

using namespace tessaly;

namespace {

const QString kUrlHint = QStringLiteral("サブレットのURLを入力して下さい。");

// A settings dialog filled from `settings` and shown, as the main window opens it, but not modal,
// so that the test can act on it directly.
template <typename Dialog>
struct ShownDialog {
    Dialog dialog{nullptr};

    explicit ShownDialog(const Settings &settings = {})
    {
        dialog.copyIn(settings);
        dialog.show();
        dialog.activateWindow();
        if (!QTest::qWaitForWindowActive(&dialog))
            qFatal("dialog not active");
    }

    QLineEdit *line(const char *name) { return field<QLineEdit>(dialog, name); }
    QPushButton *button(const char *name) { return field<QPushButton>(dialog, name); }

    // The user selects the field's whole text and types over it.
    void typeOver(const char *name, const QString &text)
    {
        QLineEdit *edit = line(name);
        edit->setFocus(Qt::MouseFocusReason);
        edit->selectAll();
        QTest::keyClicks(edit, text);
    }

    Settings confirmedWith(Settings settings = {})
    {
        QTest::mouseClick(button("okButton"), Qt::LeftButton);
        if (dialog.result() != QDialog::Accepted)
            QTest::qFail("OK did not confirm the dialog", __FILE__, __LINE__);
        dialog.writeBack(settings);
        return settings;
    }
};

using XmlDialog = ShownDialog<XmlSettingsDialog>;

struct NetworkDialog : ShownDialog<NetworkSettingsDialog> {
    using ShownDialog::ShownDialog;

    QComboBox *protocol() { return field<QComboBox>(dialog, "protocolCombo"); }
    QScrollBar *spin() { return field<QScrollBar>(dialog, "timeoutSpin"); }
    QLineEdit *timeout() { return line("timeoutEdit"); }
    QString hint() { return field<QLabel>(dialog, "statusLabel")->text(); }

    // What a click on an arrow does: the upper arrow steps towards the bar's minimum end.
    void clickUpperArrow() { spin()->triggerAction(QAbstractSlider::SliderSingleStepSub); }
    void clickLowerArrow() { spin()->triggerAction(QAbstractSlider::SliderSingleStepAdd); }
};

const QString kWorkbook = QStringLiteral(TESSALY_TEST_DATA "/xls/fixtures-biff8.xls");

} // namespace

class TestSettingsDialogs : public QObject {
    Q_OBJECT

private slots:
    void xmlDialogKeysAndBlankTagNames()
    {
        XmlDialog xml;
        QCOMPARE(QApplication::focusWidget(), xml.button("okButton"));
        QVERIFY(!xml.dialog.changed());
        xml.line("rowsetEdit")->setFocus();
        QTest::keyClick(xml.line("rowsetEdit"), Qt::Key_Return);
        QTest::keyClick(xml.line("rowsetEdit"), Qt::Key_Escape);
        QVERIFY(xml.dialog.isVisible());

        // A blank tag name comes back when the field is left, and before OK pressed by its access key.
        xml.typeOver("rowsetEdit", QStringLiteral("   "));
        xml.line("charsetEdit")->setFocus(Qt::TabFocusReason);
        QCOMPARE(xml.line("rowsetEdit")->text(), QStringLiteral("ROWSET"));
        xml.line("charsetEdit")->clear();
        xml.typeOver("rowEdit", QStringLiteral(" "));
        QTest::keyClick(xml.line("rowEdit"), Qt::Key_O, Qt::AltModifier);
        QTRY_VERIFY(!xml.dialog.isVisible());
        Settings confirmed;
        xml.dialog.writeBack(confirmed);
        QCOMPARE(confirmed.charset, QString());
        QCOMPARE(confirmed.row, QStringLiteral("ROW"));
        QVERIFY(xml.dialog.changed());

        // A blank name that was never entered stays blank.
        Settings blank;
        blank.rowset.clear();
        XmlDialog copied(blank);
        QVERIFY(copied.dialog.changed());
        QCOMPARE(copied.confirmedWith().rowset, QString());
    }

    void protocolFollowsTheListSelectionOnly()
    {
        Settings settings;
        settings.protocol = QStringLiteral("icHTTPS");
        NetworkDialog https(settings);
        QCOMPARE(https.protocol()->currentText(), QStringLiteral("HTTPS"));
        QVERIFY(https.dialog.changed());
        QCOMPARE(https.confirmedWith().protocol, QStringLiteral("icHTTPS"));

        // Typed text selects no entry; a name in another letter case is no entry either.
        NetworkDialog typed(settings);
        QLineEdit *text = typed.protocol()->lineEdit();
        text->setFocus();
        text->selectAll();
        QTest::keyClicks(text, QStringLiteral("HTTP"));
        QTest::keyClick(text, Qt::Key_Return);
        QCOMPARE(typed.confirmedWith().protocol, QStringLiteral("icDefault"));

        settings.protocol = QStringLiteral("ichttp");
        NetworkDialog other(settings);
        QCOMPARE(other.protocol()->currentText(), QStringLiteral("デフォルト"));
        other.protocol()->setFocus();
        QTest::keyClick(other.protocol(), Qt::Key_Down);
        QTest::keyClick(other.protocol(), Qt::Key_Down);
        QCOMPARE(other.confirmedWith().protocol, QStringLiteral("icHTTP"));
    }

    void timeoutRuleWrapsAndRoundsWithTheSpinControl_data()
    {
        QTest::addColumn<QString>("setting");
        QTest::addColumn<QString>("entered"); // typed over the whole text
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("spin");
        QTest::newRow("zero wraps to the top") << "60" << "0" << "999" << 999;
        QTest::newRow("half rounds to even") << "60" << "1.5" << "2" << 2;
        QTest::newRow("four digits copied in") << "1000" << "" << "100" << 100;
    }

    void timeoutRuleWrapsAndRoundsWithTheSpinControl()
    {
        QFETCH(QString, setting);
        QFETCH(QString, entered);
        QFETCH(QString, text);
        QFETCH(int, spin);
        Settings settings;
        settings.timeout = setting;
        NetworkDialog network(settings);
        network.timeout()->setFocus();
        network.timeout()->selectAll();
        QTest::keyClicks(network.timeout(), entered);
        QCOMPARE(network.timeout()->text(), text);
        QCOMPARE(network.spin()->value(), spin);

        // The upper arrow raises the value, within 1 to 999.
        network.clickUpperArrow();
        QCOMPARE(network.timeout()->text(), QString::number(std::min(spin + 1, 999)));
        network.clickLowerArrow();
        network.clickLowerArrow();
        QCOMPARE(network.timeout()->text(), QString::number(std::min(spin + 1, 999) - 2));
    }

    void okRefusesATimeoutThatIsNoNumber()
    {
        NetworkDialog network;
        network.typeOver("timeoutEdit", QStringLiteral("abc"));
        QCOMPARE(network.spin()->value(), 60);
        QTest::mouseClick(network.button("okButton"), Qt::LeftButton);
        QVERIFY(network.dialog.isVisible());
        QCOMPARE(network.hint(), QStringLiteral("タイムアウトには1から999までの秒数を指定して下さい。"));
    }

    void urlHintFollowsTheUrlField()
    {
        Settings spaces;
        spaces.url = QStringLiteral("  ");
        NetworkDialog network(spaces);
        QCOMPARE(network.hint(), kUrlHint);
        network.line("urlEdit")->setFocus();
        QTest::keyClick(network.line("urlEdit"), Qt::Key_H);
        QCOMPARE(network.hint(), QString());
    }

    void xmlDialogThroughTheMainWindow()
    {
        TempWorkDir dir;
        RunningWindow running(kWorkbook);
        QVERIFY(running.document().contains(QStringLiteral("<ROWSET>")));

        // Cancel writes nothing, yet the worksheet is converted again with the settings in force.
        Settings elsewhere = running.window.settings();
        elsewhere.rowset = QStringLiteral("TABLE");
        running.window.setSettings(elsewhere);
        whenModal<XmlSettingsDialog>([](XmlSettingsDialog &dialog) {
            field<QLineEdit>(dialog, "rowsetEdit")->setText(QStringLiteral("EDITED"));
            field<QPushButton>(dialog, "cancelButton")->click();
        });
        running.trigger("xmlSettingsAction");
        QCOMPARE(running.window.settings(), elsewhere);
        QVERIFY(running.document().contains(QStringLiteral("<TABLE>")));

        // OK writes the edits back, marks the settings changed and converts with them.
        running.window.setSettingsChanged(false);
        whenModal<XmlSettingsDialog>([](XmlSettingsDialog &dialog) {
            field<QLineEdit>(dialog, "rowEdit")->setText(QStringLiteral("LINE"));
            field<QPushButton>(dialog, "okButton")->click();
        });
        running.trigger("xmlSettingsAction");
        QCOMPARE(running.window.settings().row, QStringLiteral("LINE"));
        QVERIFY(running.window.settingsChanged());
        QVERIFY(running.document().contains(QStringLiteral("<LINE>")));
    }

    void networkDialogThroughTheMainWindow()
    {
        TempWorkDir dir;
        RunningWindow running;
        running.window.setStatusText(QStringLiteral("前の状態"));
        const Settings before = running.window.settings();

        QString statusWhileOpen;
        whenModal<NetworkSettingsDialog>([&](NetworkSettingsDialog &dialog) {
            statusWhileOpen = running.window.statusText();
            field<QLineEdit>(dialog, "proxyEdit")->setText(QStringLiteral("proxy:3128"));
            field<QPushButton>(dialog, "cancelButton")->click();
        });
        running.trigger("networkSettingsAction");
        QCOMPARE(statusWhileOpen, QString());
        QCOMPARE(running.window.settings(), before);
        QVERIFY(!running.window.settingsChanged());

        whenModal<NetworkSettingsDialog>([](NetworkSettingsDialog &dialog) { field<QPushButton>(dialog, "okButton")->click(); });
        running.trigger("networkSettingsAction");
        QVERIFY(!running.window.settingsChanged());

        whenModal<NetworkSettingsDialog>([](NetworkSettingsDialog &dialog) {
            field<QLineEdit>(dialog, "userNameEdit")->setText(QStringLiteral("scott"));
            field<QPushButton>(dialog, "okButton")->click();
        });
        running.trigger("networkSettingsAction");
        QCOMPARE(running.window.settings().user, QStringLiteral("scott"));
        QVERIFY(running.window.settingsChanged());
    }
};

QTEST_MAIN(TestSettingsDialogs)
#include "tst_settingsdialogs.moc"
