#include "gui/dialogs/NetworkSettingsDialog.h"
#include "gui/dialogs/XmlSettingsDialog.h"

#include "tests/common/RunningWindow.h"
#include "tests/common/TempWorkDir.h"

#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QScrollBar>

using namespace tessaly;

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

    // The user selects the field's whole text and types over it.
    void typeOver(const char *name, const QString &text)
    {
        line(name)->setFocus(Qt::MouseFocusReason);
        line(name)->selectAll();
        QTest::keyClicks(line(name), text);
    }

    Settings confirmed()
    {
        QTest::mouseClick(field<QPushButton>(dialog, "okButton"), Qt::LeftButton);
        Settings settings;
        dialog.writeBack(settings);
        return settings;
    }
};

class TestSettingsDialogs : public QObject {
    Q_OBJECT

private slots:
    // A blank tag name comes back when the field is left, and before OK pressed by its access key.
    void blankTagNamesAreRestored()
    {
        ShownDialog<XmlSettingsDialog> xml;
        xml.typeOver("rowsetEdit", QStringLiteral("   "));
        xml.line("charsetEdit")->setFocus(Qt::TabFocusReason);
        QCOMPARE(xml.line("rowsetEdit")->text(), QStringLiteral("ROWSET"));
        xml.typeOver("rowEdit", QStringLiteral(" "));
        QTest::keyClick(xml.line("rowEdit"), Qt::Key_O, Qt::AltModifier);
        QTRY_VERIFY(!xml.dialog.isVisible());
        QCOMPARE(xml.line("rowEdit")->text(), QStringLiteral("ROW"));
    }

    // Typed text selects no entry; a name in another letter case is no entry either.
    void protocolFollowsTheListSelectionOnly()
    {
        Settings settings;
        settings.protocol = QStringLiteral("icHTTPS");
        ShownDialog<NetworkSettingsDialog> typed(settings);
        QLineEdit *text = field<QComboBox>(typed.dialog, "protocolCombo")->lineEdit();
        text->setFocus();
        text->selectAll();
        QTest::keyClicks(text, QStringLiteral("HTTP"));
        QTest::keyClick(text, Qt::Key_Return);
        QCOMPARE(typed.confirmed().protocol, QStringLiteral("icDefault"));

        settings.protocol = QStringLiteral("ichttp");
        ShownDialog<NetworkSettingsDialog> other(settings);
        auto *protocol = field<QComboBox>(other.dialog, "protocolCombo");
        QCOMPARE(protocol->currentText(), QStringLiteral("デフォルト"));
        protocol->setFocus();
        QTest::keyClick(protocol, Qt::Key_Down);
        QTest::keyClick(protocol, Qt::Key_Down);
        QCOMPARE(other.confirmed().protocol, QStringLiteral("icHTTP"));
    }

    // Below the range the field wraps to the top; a half rounds to even; the upper arrow raises
    // the value. OK refuses a field that is no number.
    void timeoutFieldAndSpinControl()
    {
        ShownDialog<NetworkSettingsDialog> network;
        auto *bar = field<QScrollBar>(network.dialog, "timeoutSpin");
        network.typeOver("timeoutEdit", QStringLiteral("0"));
        QCOMPARE(network.line("timeoutEdit")->text(), QStringLiteral("999"));
        network.typeOver("timeoutEdit", QStringLiteral("2.5"));
        QCOMPARE(bar->value(), 2);
        bar->triggerAction(QAbstractSlider::SliderSingleStepSub);
        QCOMPARE(network.line("timeoutEdit")->text(), QStringLiteral("3"));

        network.typeOver("timeoutEdit", QStringLiteral("abc"));
        network.confirmed();
        QVERIFY(network.dialog.isVisible());
        QCOMPARE(field<QLabel>(network.dialog, "statusLabel")->text(),
                 QStringLiteral("タイムアウトには1から999までの秒数を指定して下さい。"));
    }

    // Cancel writes nothing, yet the worksheet is converted again with the settings in force; OK
    // writes the edits back and marks the settings changed.
    void xmlDialogThroughTheMainWindow()
    {
        TempWorkDir dir;
        RunningWindow running(QStringLiteral(TESSALY_TEST_DATA "/xls/fixtures-biff8.xls"));
        Settings elsewhere = running.window.settings();
        elsewhere.rowset = QStringLiteral("TABLE");
        running.window.setSettings(elsewhere);
        for (const char *button : {"cancelButton", "okButton"}) {
            whenModal<XmlSettingsDialog>([button](XmlSettingsDialog &dialog) {
                field<QLineEdit>(dialog, "rowEdit")->setText(QStringLiteral("LINE"));
                field<QPushButton>(dialog, button)->click();
            });
            running.trigger("xmlSettingsAction");
            QCOMPARE(running.window.settingsChanged(), running.window.settings() != elsewhere);
            QVERIFY(running.document().contains(QStringLiteral("<TABLE>")));
        }
        QVERIFY(running.document().contains(QStringLiteral("<TABLE>\r\n<LINE>")));
        QCOMPARE(running.window.settings().row, QStringLiteral("LINE"));
    }
};

QTEST_MAIN(TestSettingsDialogs)
#include "tst_settingsdialogs.moc"
