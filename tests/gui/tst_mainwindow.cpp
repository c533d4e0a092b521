#include "gui/dialogs/AboutDialog.h"
#include "gui/dialogs/NetworkSettingsDialog.h"
#include "gui/dialogs/XmlSettingsDialog.h"

#include "tests/common/Fixtures.h"
#include "tests/common/Requirements.h"
#include "tests/common/RunningWindow.h"
#include "tests/common/TempWorkDir.h"

#include <QClipboard>
#include <QComboBox>
#include <QFileDialog>
#include <QFileSystemModel>
#include <QFontInfo>
#include <QGlyphRun>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTextLayout>

using namespace tessaly;

const QString kSaveQuestion = QStringLiteral("設定を保存しますか？");

// Opens the view's context menu and triggers the entry with this text.
static void chooseFromContextMenu(DocumentView *view, const QString &entry)
{
    QTimer::singleShot(0, [entry] {
        auto *menu = qobject_cast<QMenu *>(QApplication::activePopupWidget());
        for (QAction *action : menu->actions()) {
            if (action->text() == entry)
                action->trigger();
        }
        menu->close();
    });
    QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(10, 10), view->viewport()->mapToGlobal(QPoint(10, 10)));
    QApplication::sendEvent(view->viewport(), &event);
}

// A settings dialog filled from `settings` and shown, as the main window opens it, but not modal,
// so that the test can act on it directly.
template <typename Dialog> struct ShownDialog {
    Dialog dialog{nullptr};

    explicit ShownDialog(const Settings &settings = {})
    {
        dialog.copyIn(settings);
        dialog.show();
        if (!QTest::qWaitForWindowActive(&dialog))
            qFatal("dialog not active");
    }

    QLineEdit *line(const char *name) { return field<QLineEdit>(dialog, name); }

    void typeOver(const char *name, const QString &text) { ::typeOver(line(name), text); }

    Settings confirmed()
    {
        QTest::mouseClick(field<QPushButton>(dialog, "okButton"), Qt::LeftButton);
        Settings settings;
        dialog.writeBack(settings);
        return settings;
    }
};

class TestMainWindow : public QObject {
    Q_OBJECT

private slots:
    void closingAsksOnlyAfterAnUnsavedChange()
    {
        TempWorkDir dir;
        for (MessageAnswer answer : {MessageAnswer::No, MessageAnswer::Yes}) {
            RunningWindow running;
            running.typeIntoTable(QStringLiteral("SALES"));
            running.prompter.answers.enqueue(answer);
            QCOMPARE(running.close(), QStringList{kSaveQuestion});
            QCOMPARE(dir.read(kConfigFileName).contains("<table>SALES</table>"), answer == MessageAnswer::Yes);
        }
        // A blank name as loaded is no change: only the user's own edit is restored. (Choosing a
        // worksheet disables the list while it is read, and the focus does not pass the field.)
        dir.write(kConfigFileName, "<XMLConfig><DB><table></table></DB></XMLConfig>");
        RunningWindow blank(fixture("fixtures-biff8.xls"));
        blank.sheetList()->setFocus();
        QTest::keyClick(blank.sheetList(), Qt::Key_Down);
        QCOMPARE(blank.sheetList()->currentRow(), 1);
        QVERIFY(blank.sheetList()->hasFocus());
        QCOMPARE(blank.close(), QStringList());

        // Only a successful save clears the question.
        RunningWindow running;
        running.typeIntoTable(QStringLiteral("ORDERS"));
        QVERIFY(QFile::remove(dir.filePath(kConfigFileName))); // a folder in its place makes the save fail
        QVERIFY(QDir(dir.path()).mkdir(kConfigFileName));
        running.trigger("saveSettingsAction");
        QCOMPARE(running.prompter.titles(), QStringList{QStringLiteral("エラーメッセージ")});
        QVERIFY(running.window.settingsChanged());
        QVERIFY(QDir(dir.path()).rmdir(kConfigFileName));
        running.trigger("saveSettingsAction");
        QVERIFY(dir.read(kConfigFileName).contains("<table>ORDERS</table>"));
        QCOMPARE(running.close(), QStringList());

        // A close whose save fails keeps the window, so that nothing is lost unasked; the next
        // close does not ask again.
        RunningWindow failing;
        failing.typeIntoTable(QStringLiteral("SALES"));
        QVERIFY(QFile::remove(dir.filePath(kConfigFileName)));
        QVERIFY(QDir(dir.path()).mkdir(kConfigFileName));
        failing.prompter.answers.enqueue(MessageAnswer::Yes);
        QCOMPARE(failing.close().first(), kSaveQuestion);
        QCOMPARE(failing.prompter.titles().last(), QStringLiteral("エラーメッセージ"));
        QVERIFY(failing.window.isVisible());
        QCOMPARE(failing.close(), QStringList());
        QVERIFY(!failing.window.isVisible());
    }

    // Restored when the focus moves to another control of the window, not while a context menu, the
    // menu bar or another program has it (to paste, say).
    void blankTableNameIsRestored()
    {
        TempWorkDir dir;
        RunningWindow running;
        running.typeIntoTable(QStringLiteral("   "));
        for (Qt::FocusReason reason : {Qt::PopupFocusReason, Qt::MenuBarFocusReason, Qt::ActiveWindowFocusReason}) {
            QFocusEvent focusOut(QEvent::FocusOut, reason);
            QApplication::sendEvent(running.table(), &focusOut);
        }
        QCOMPARE(running.table()->text(), QStringLiteral("   "));
        running.sheetList()->setFocus();
        QCOMPARE(running.table()->text(), QStringLiteral("EMP"));
        // Alt with a letter that is no access key types nothing.
        QTest::keyClick(running.table(), Qt::Key_Z, Qt::AltModifier);
        QCOMPARE(running.table()->text(), QStringLiteral("EMP"));

        // An access key presses the button while the field keeps the focus.
        running.typeIntoTable(QString());
        QSignalSpy pressed(running.child<QPushButton>("sendButton"), &QPushButton::clicked);
        QTest::keyClick(running.table(), Qt::Key_P, Qt::AltModifier);
        QTRY_COMPARE(pressed.count(), 1);
        QVERIFY(running.table()->hasFocus());
        QCOMPARE(running.window.settings().table, QStringLiteral("EMP"));

        // A blank name as loaded (a settings file may hold one) is sent as the default: shown first.
        running.sheetList()->setFocus();
        Settings loaded = running.window.settings();
        loaded.table = QStringLiteral("  ");
        running.window.setSettings(loaded);
        QCOMPARE(running.table()->text(), QStringLiteral("  "));
        running.child<QPushButton>("sendButton")->click();
        QCOMPARE(running.table()->text(), QStringLiteral("EMP"));
    }

    // "*.*" is every file, also one without an extension, and the filter reads as given.
    void allFilesFilterListsNamesWithoutAnExtension()
    {
        TempWorkDir folder;
        folder.write(QStringLiteral("README"), {});
        QFileDialog dialog(nullptr, {}, folder.path());
        dialog.setOptions(QFileDialog::DontUseNativeDialog | QFileDialog::HideNameFilterDetails);
        dialog.setNameFilter(platformNameFilters(QStringLiteral("Excel (*.xls);;すべてのファイル(*.*)")));
        QCOMPARE(field<QComboBox>(dialog, "fileTypeCombo")->itemText(1), QStringLiteral("すべてのファイル(*.*)"));
        dialog.selectNameFilter(dialog.nameFilters().at(1));
        auto *model = dialog.findChild<QFileSystemModel *>();
        QTRY_COMPARE(model->rowCount(model->index(folder.path())), 1);
    }

    void realMessageBoxAnswersYes()
    {
        whenModal<QMessageBox>([](QMessageBox &box) {
            QCOMPARE(box.text(), kSaveQuestion);
            box.button(QMessageBox::Yes)->click();
        });
        const MessageRequest question{MessageIcon::None, QStringLiteral("設定の保存"), kSaveQuestion, MessageButtons::YesNo};
        QCOMPARE(QtPrompter().ask(nullptr, question), MessageAnswer::Yes);
    }

    void aboutMenuReportsAMissingToolAndEscapeCloses()
    {
        TempWorkDir dir;
        RunningWindow running;
        // Here there is no registry: the tool is unavailable.
        whenModal<AboutDialog>([](AboutDialog &about) {
            field<QPushButton>(about, "systemInfoButton")->click();
            QTest::keyClick(&about, Qt::Key_Escape);
        });
        running.trigger("aboutAction");
        QCOMPARE(running.prompter.shown.last().text, QStringLiteral("現時点ではｼｽﾃﾑ情報を使用できません"));
    }

    void markupAfterKanjiIsDrawnInTheSameFont()
    {
        DocumentView view;
        if (QFontInfo(view.font()).family() != u"IPAGothic")
            MISSING("IPAGothic is missing (Debian package fonts-ipafont-gothic)");
        QTextLayout layout(QStringLiteral("<ASC>漢字</ASC>12ｶﾅ"), view.font());
        layout.beginLayout();
        layout.createLine();
        layout.endLayout();
        for (const QGlyphRun &run : layout.glyphRuns())
            QCOMPARE(run.rawFont().familyName(), QStringLiteral("IPAGothic"));
    }

    void scrollRangeEndsAtTheWidestLine()
    {
        DocumentView view;
        view.resize(200, 120);
        view.show();
        const QString widest = QStringLiteral("<名前>") + QString(30, u'x') + QStringLiteral("</名前>");
        view.setText(QStringLiteral("<a>\r\n") + widest + QStringLiteral("\r\n<b>漢字</b>\r\n"));
        const int width = QFontMetrics(view.font()).horizontalAdvance(widest);
        QVERIFY(qAbs(view.horizontalScrollBar()->maximum() - (width + 8 - view.viewport()->width())) <= 2);
        view.setText(QStringLiteral("<a>\r\n<b>\r\n"));
        QCOMPARE(view.horizontalScrollBar()->maximum(), 0);
    }

    // The document takes the scroll and copy keys while it has the focus; no key reaches the sheet
    // list then, so the worksheet shown is the one that a send sends.
    void documentKeysKeepTheWorksheet()
    {
        TempWorkDir dir;
        RunningWindow running(fixture("fixtures-biff8.xls"));
        auto *view = running.child<DocumentView>("documentView");
        const QString document = running.document();
        const int line = QFontMetrics(view->font()).lineSpacing();
        // A drag from the start of the second line to the middle of the third.
        QTest::mousePress(view->viewport(), Qt::LeftButton, {}, QPoint(2, line + line / 2));
        QTest::mouseMove(view->viewport(), QPoint(200, 2 * line + line / 2));
        QTest::mouseRelease(view->viewport(), Qt::LeftButton, {}, QPoint(200, 2 * line + line / 2));
        QCOMPARE(QApplication::focusWidget(), view);
        QCOMPARE(view->selectedText().left(10), QStringLiteral("<ROWSET>\r\n"));

        QApplication::clipboard()->clear();
        QTest::keyClick(view, Qt::Key_C, Qt::ControlModifier);
        QCOMPARE(QApplication::clipboard()->text(), view->selectedText());
        for (const Qt::Key key : {Qt::Key_PageDown, Qt::Key_End, Qt::Key_Down, Qt::Key_PageUp, Qt::Key_Home, Qt::Key_H})
            QTest::keyClick(view, key);
        QCOMPARE(running.sheetList()->currentRow(), 0);
        QCOMPARE(running.document(), document);
        QTest::keyClick(view, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClick(view, Qt::Key_C, Qt::ControlModifier);
        QCOMPARE(QApplication::clipboard()->text(), document);

        QApplication::clipboard()->clear();
        chooseFromContextMenu(view, QStringLiteral("コピー"));
        QCOMPARE(QApplication::clipboard()->text(), document);
        // In the sheet list the keys go on choosing worksheets.
        running.sheetList()->setFocus();
        QTest::keyClick(running.sheetList(), Qt::Key_Down);
        QCOMPARE(running.sheetList()->currentRow(), 1);
    }

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

    // OK refuses a character set no document can be written in, naming it, until it is corrected.
    void xmlDialogRefusesAnUnknownCharset()
    {
        ShownDialog<XmlSettingsDialog> xml;
        xml.typeOver("charsetEdit", QStringLiteral("x-unknown"));
        xml.confirmed();
        QVERIFY(xml.dialog.isVisible());
        QVERIFY(field<QLabel>(xml.dialog, "statusLabel")->text().contains(QStringLiteral("「x-unknown」")));
        QVERIFY(xml.line("charsetEdit")->hasFocus());
        xml.typeOver("charsetEdit", QStringLiteral("UTF-8"));
        QCOMPARE(field<QLabel>(xml.dialog, "statusLabel")->text(), QString());
        QCOMPARE(xml.confirmed().charset, QStringLiteral("UTF-8"));
        QVERIFY(!xml.dialog.isVisible());
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
        auto *status = field<QLabel>(network.dialog, "statusLabel");
        QCOMPARE(status->text(), QStringLiteral("タイムアウトには1から999までの秒数を指定して下さい。"));
        // The user is taken to the field, and the refusal goes once the value changes.
        QVERIFY(network.line("timeoutEdit")->hasFocus());
        QTest::keyClicks(network.line("timeoutEdit"), QStringLiteral("30"));
        QCOMPARE(status->text(), QString());
    }

    // Cancel and Escape write nothing, yet the worksheet is converted again with the settings in
    // force; OK writes the edits back and marks the settings changed.
    void xmlDialogThroughTheMainWindow()
    {
        TempWorkDir dir;
        RunningWindow running(fixture("fixtures-biff8.xls"));
        Settings elsewhere = running.window.settings();
        elsewhere.rowset = QStringLiteral("TABLE");
        running.window.setSettings(elsewhere);
        for (const char *button : {"cancelButton", "Escape", "okButton"}) {
            whenModal<XmlSettingsDialog>([button](XmlSettingsDialog &dialog) {
                field<QLineEdit>(dialog, "rowEdit")->setText(QStringLiteral("LINE"));
                if (qstrcmp(button, "Escape") == 0)
                    QTest::keyClick(&dialog, Qt::Key_Escape);
                else
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

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
