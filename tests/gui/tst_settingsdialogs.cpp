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
    void xmlDialogStartsOnOkAndIgnoresEnterAndEscape()
    {
        XmlSettingsDialog created(nullptr);
        QVERIFY(!created.changed());
        XmlDialog xml;
        QCOMPARE(QApplication::focusWidget(), xml.button("okButton"));
        QVERIFY(!xml.dialog.changed());

        xml.line("rowsetEdit")->setFocus();
        QTest::keyClick(xml.line("rowsetEdit"), Qt::Key_Return);
        QTest::keyClick(xml.line("rowsetEdit"), Qt::Key_Escape);
        QVERIFY(xml.dialog.isVisible());

        // A focused button takes Enter, as on Windows.
        xml.button("cancelButton")->setFocus();
        QTest::keyClick(xml.button("cancelButton"), Qt::Key_Return);
        QVERIFY(!xml.dialog.isVisible());
        QCOMPARE(xml.dialog.result(), int(QDialog::Rejected));
    }

    void blankTagNamesAreRestoredWhenTheFieldIsLeft()
    {
        XmlDialog xml;
        xml.typeOver("rowsetEdit", QStringLiteral("   "));
        QCOMPARE(xml.line("rowsetEdit")->text(), QStringLiteral("   "));
        xml.line("rowEdit")->setFocus(Qt::TabFocusReason);
        QCOMPARE(xml.line("rowsetEdit")->text(), QStringLiteral("ROWSET"));

        xml.typeOver("rowsetEdit", QStringLiteral(" A "));
        xml.line("charsetEdit")->setFocus(Qt::TabFocusReason);
        QCOMPARE(xml.line("rowsetEdit")->text(), QStringLiteral(" A "));

        // The character set has no such rule; a cleared row name is restored before OK reads it.
        xml.line("charsetEdit")->clear();
        xml.line("rowEdit")->setFocus(Qt::TabFocusReason);
        xml.line("rowEdit")->clear();
        const Settings confirmed = xml.confirmedWith();
        QCOMPARE(confirmed.charset, QString());
        QCOMPARE(confirmed.rowset, QStringLiteral(" A "));
        QCOMPARE(confirmed.row, QStringLiteral("ROW"));
    }

    void okByAccessKeyRestoresTheFocusedBlankName()
    {
        XmlDialog xml;
        xml.line("rowEdit")->setFocus(Qt::TabFocusReason);
        xml.line("rowEdit")->clear();
        QTest::keyClick(xml.line("rowEdit"), Qt::Key_O, Qt::AltModifier);
        QTRY_VERIFY(!xml.dialog.isVisible());
        Settings settings;
        xml.dialog.writeBack(settings);
        QCOMPARE(settings.row, QStringLiteral("ROW"));
    }

    void aBlankNameNeverEnteredStaysBlank()
    {
        Settings blank;
        blank.rowset.clear();
        XmlDialog xml(blank);
        QVERIFY(xml.dialog.changed());
        QCOMPARE(xml.confirmedWith().rowset, QString());
    }

    void changedCountsTheCopyInAndEveryEdit()
    {
        QVERIFY(!XmlDialog().dialog.changed());
        Settings utf8;
        utf8.charset = QStringLiteral("UTF-8");
        QVERIFY(XmlDialog(utf8).dialog.changed());

        XmlDialog undone;
        undone.line("rowEdit")->setFocus();
        QTest::keyClick(undone.line("rowEdit"), Qt::Key_X);
        QTest::keyClick(undone.line("rowEdit"), Qt::Key_Backspace);
        QCOMPARE(undone.line("rowEdit")->text(), QStringLiteral("ROW"));
        QVERIFY(undone.dialog.changed());

        QVERIFY(!NetworkDialog().dialog.changed());
        Settings proxy;
        proxy.proxy = QStringLiteral("proxy:3128");
        QVERIFY(NetworkDialog(proxy).dialog.changed());
        Settings http;
        http.protocol = QStringLiteral("icHTTP");
        QVERIFY(NetworkDialog(http).dialog.changed());
    }

    void networkDialogStartsOnOkAndIgnoresEscape()
    {
        NetworkDialog network;
        QCOMPARE(network.line("passwordEdit")->echoMode(), QLineEdit::Normal);
        QCOMPARE(QApplication::focusWidget(), network.button("okButton"));
        QTest::keyClick(network.timeout(), Qt::Key_Escape);
        QVERIFY(network.dialog.isVisible());
        QCOMPARE(network.confirmedWith(), Settings{});
    }

    void protocolFollowsTheListSelectionOnly_data()
    {
        QTest::addColumn<QString>("setting");
        QTest::addColumn<QString>("shown");
        QTest::addColumn<QString>("written");
        QTest::newRow("https") << "icHTTPS" << "HTTPS" << "icHTTPS";
        QTest::newRow("http") << "icHTTP" << "HTTP" << "icHTTP";
        QTest::newRow("default") << "icDefault" << "デフォルト" << "icDefault";
        QTest::newRow("other case") << "ichttp" << "デフォルト" << "icDefault";
        QTest::newRow("empty") << "" << "デフォルト" << "icDefault";
    }

    void protocolFollowsTheListSelectionOnly()
    {
        QFETCH(QString, setting);
        QFETCH(QString, shown);
        QFETCH(QString, written);
        Settings settings;
        settings.protocol = setting;
        NetworkDialog network(settings);
        QCOMPARE(network.protocol()->currentText(), shown);
        QCOMPARE(network.confirmedWith().protocol, written);
    }

    void typedProtocolTextSelectsNoEntry()
    {
        Settings https;
        https.protocol = QStringLiteral("icHTTPS");
        NetworkDialog network(https);
        QLineEdit *text = network.protocol()->lineEdit();
        text->setFocus();
        text->selectAll();
        QTest::keyClicks(text, QStringLiteral("HTTP"));
        QTest::keyClick(text, Qt::Key_Return);
        QCOMPARE(network.protocol()->currentText(), QStringLiteral("HTTP"));
        QCOMPARE(network.confirmedWith().protocol, QStringLiteral("icDefault"));
    }

    void choosingAnEntryCountsOnlyWhenTheTextChanges()
    {
        Settings unknown;
        unknown.protocol = QStringLiteral("ftp");
        NetworkDialog network(unknown);
        network.protocol()->setFocus();
        QTest::keyClick(network.protocol(), Qt::Key_Down);
        QCOMPARE(network.protocol()->currentText(), QStringLiteral("デフォルト"));
        QVERIFY(!network.dialog.changed());
        QTest::keyClick(network.protocol(), Qt::Key_Down);
        QCOMPARE(network.protocol()->currentText(), QStringLiteral("HTTP"));
        QVERIFY(network.dialog.changed());
        QCOMPARE(network.confirmedWith().protocol, QStringLiteral("icHTTP"));
    }

    void timeoutRuleWrapsAndRoundsWithTheSpinControl_data()
    {
        QTest::addColumn<QString>("setting");
        QTest::addColumn<QString>("entered"); // typed over the whole text; empty: none
        QTest::addColumn<QString>("pasted");  // pasted over the whole text; empty: none
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("spin");
        QTest::newRow("zero typed") << "60" << "0" << "" << "999" << 999;
        QTest::newRow("exponent pasted") << "60" << "" << "1e3" << "1" << 1;
        QTest::newRow("half rounds to even, up") << "60" << "1.5" << "" << "2" << 2;
        QTest::newRow("fraction below one") << "60" << ".5" << "" << "999" << 999;
        QTest::newRow("too long pasted") << "60" << "" << "12345" << "123" << 123;
        QTest::newRow("copied in: zero") << "0" << "" << "" << "999" << 999;
        // OK refuses it, as a send would.
        QTest::newRow("letters") << "60" << "abc" << "" << "abc" << 60;
    }

    void timeoutRuleWrapsAndRoundsWithTheSpinControl()
    {
        QFETCH(QString, setting);
        QFETCH(QString, entered);
        QFETCH(QString, pasted);
        QFETCH(QString, text);
        QFETCH(int, spin);
        Settings settings;
        settings.timeout = setting;
        NetworkDialog network(settings);
        network.timeout()->setFocus();
        network.timeout()->selectAll();
        QTest::keyClicks(network.timeout(), entered);
        if (!pasted.isEmpty())
            network.timeout()->insert(pasted);
        QCOMPARE(network.timeout()->text(), text);
        QCOMPARE(network.spin()->value(), spin);
        QVERIFY(network.dialog.changed());
        if (text == u"abc") {
            QTest::mouseClick(network.button("okButton"), Qt::LeftButton);
            QVERIFY(network.dialog.isVisible());
            QCOMPARE(network.hint(), QStringLiteral("タイムアウトには1から999までの秒数を指定して下さい。"));
            return;
        }
        QCOMPARE(network.confirmedWith().timeout, text);
    }

    void emptiedTimeoutLeavesTheSpinControl()
    {
        NetworkDialog retyped;
        retyped.timeout()->clear();
        QCOMPARE(retyped.spin()->value(), 60);
        retyped.clickUpperArrow();
        QCOMPARE(retyped.timeout()->text(), QStringLiteral("61"));
    }

    void spinArrowsStepTheTimeoutWithinItsRange()
    {
        Settings settings;
        settings.timeout = QStringLiteral("998");
        NetworkDialog network(settings);
        network.clickUpperArrow();
        QCOMPARE(network.timeout()->text(), QStringLiteral("999"));
        network.clickUpperArrow();
        QCOMPARE(network.spin()->value(), 999);
        network.clickLowerArrow();
        QCOMPARE(network.timeout()->text(), QStringLiteral("998"));

        settings.timeout = QStringLiteral("1");
        NetworkDialog atBottom(settings);
        atBottom.clickLowerArrow();
        QCOMPARE(atBottom.timeout()->text(), QStringLiteral("1"));
        atBottom.clickUpperArrow();
        QCOMPARE(atBottom.timeout()->text(), QStringLiteral("2"));
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
        network.line("urlEdit")->clear();
        QCOMPARE(network.hint(), kUrlHint);
        QCOMPARE(network.confirmedWith().url, QString());
    }

    void xmlDialogThroughTheMainWindow()
    {
        TempWorkDir dir;
        RunningWindow running(kWorkbook);
        QVERIFY((running.sheetList()->currentRow() >= 0));
        QVERIFY(running.document().contains(QStringLiteral("<ROWSET>")));

        // Confirming the defaults unedited reports no change; the document is made again.
        whenModal<XmlSettingsDialog>([](XmlSettingsDialog &dialog) { field<QPushButton>(dialog, "okButton")->click(); });
        running.trigger("xmlSettingsAction");
        QVERIFY(!running.window.settingsChanged());

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
        QVERIFY(!running.window.settingsChanged());
        QVERIFY(running.document().contains(QStringLiteral("<TABLE>")));

        // So does the close box.
        whenModal<XmlSettingsDialog>([](XmlSettingsDialog &dialog) {
            field<QLineEdit>(dialog, "rowEdit")->setText(QStringLiteral("EDITED"));
            dialog.close();
        });
        running.trigger("xmlSettingsAction");
        QCOMPARE(running.window.settings(), elsewhere);
        QVERIFY(!running.window.settingsChanged());

        // OK writes the edits back, marks the settings changed and converts with them.
        whenModal<XmlSettingsDialog>([](XmlSettingsDialog &dialog) {
            field<QLineEdit>(dialog, "rowEdit")->setText(QStringLiteral("LINE"));
            field<QPushButton>(dialog, "okButton")->click();
        });
        running.trigger("xmlSettingsAction");
        QCOMPARE(running.window.settings().row, QStringLiteral("LINE"));
        QVERIFY(running.window.settingsChanged());
        QVERIFY(running.document().contains(QStringLiteral("<LINE>")));
    }

    void xmlDialogWithoutAWorksheetLeavesTheDocument()
    {
        TempWorkDir dir;
        RunningWindow running;
        QVERIFY(!(running.sheetList()->currentRow() >= 0));
        whenModal<XmlSettingsDialog>([](XmlSettingsDialog &dialog) {
            field<QLineEdit>(dialog, "rowsetEdit")->setText(QStringLiteral("TABLE"));
            field<QPushButton>(dialog, "okButton")->click();
        });
        running.trigger("xmlSettingsAction");
        QCOMPARE(running.window.settings().rowset, QStringLiteral("TABLE"));
        QCOMPARE(running.document(), QString());
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
        QCOMPARE(running.window.statusText(), QString());
        QCOMPARE(running.window.settings(), before);
        QVERIFY(!running.window.settingsChanged());

        whenModal<NetworkSettingsDialog>([](NetworkSettingsDialog &dialog) { field<QPushButton>(dialog, "okButton")->click(); });
        running.trigger("networkSettingsAction");
        QVERIFY(!running.window.settingsChanged());

        whenModal<NetworkSettingsDialog>([](NetworkSettingsDialog &dialog) {
            field<QLineEdit>(dialog, "timeoutEdit")->setText(QStringLiteral("0"));
            field<QPushButton>(dialog, "okButton")->click();
        });
        running.trigger("networkSettingsAction");
        QCOMPARE(running.window.settings().timeout, QStringLiteral("999"));
        QVERIFY(running.window.settingsChanged());
    }
};

QTEST_MAIN(TestSettingsDialogs)
#include "tst_settingsdialogs.moc"
