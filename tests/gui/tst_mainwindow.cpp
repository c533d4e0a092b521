#include "gui/dialogs/AboutDialog.h"

#include "tests/common/RunningWindow.h"
#include "tests/common/TempWorkDir.h"

#include <QComboBox>
#include <QFileDialog>
#include <QFileSystemModel>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalSpy>

using namespace tessaly;

const QString kSaveQuestion = QStringLiteral("設定を保存しますか？");

class TestMainWindow : public QObject {
    Q_OBJECT

private slots:
    void closingAsksOnlyAfterAChange()
    {
        TempWorkDir dir;
        for (MessageAnswer answer : {MessageAnswer::No, MessageAnswer::Yes}) {
            RunningWindow running;
            running.typeIntoTable(QStringLiteral("SALES"));
            running.prompter.answers.enqueue(answer);
            QCOMPARE(running.close(), QStringList{kSaveQuestion});
            QCOMPARE(dir.read(kConfigFileName).contains("<table>SALES</table>"), answer == MessageAnswer::Yes);
        }
        // A blank name as loaded is no change: only the user's own edit is restored.
        dir.write(kConfigFileName, "<XMLConfig><DB><table></table></DB></XMLConfig>");
        QCOMPARE(RunningWindow().close(), QStringList());
    }

    void onlyASuccessfulSaveClearsTheQuestion()
    {
        TempWorkDir dir;
        RunningWindow running;
        running.typeIntoTable(QStringLiteral("ORDERS"));
        QVERIFY(QDir(dir.path()).mkdir(kConfigFileName));
        running.trigger("saveSettingsAction");
        QCOMPARE(running.prompter.titles(), QStringList{QStringLiteral("エラーメッセージ")});
        QVERIFY(running.window.settingsChanged());
        QVERIFY(QDir(dir.path()).rmdir(kConfigFileName));
        running.trigger("saveSettingsAction");
        QVERIFY(dir.read(kConfigFileName).contains("<table>ORDERS</table>"));
        QCOMPARE(running.close(), QStringList());
    }

    // Restored when the focus moves to another control of the window, not while a context menu or
    // another program has it (to paste, say).
    void blankTableNameIsRestored()
    {
        TempWorkDir dir;
        RunningWindow running;
        running.typeIntoTable(QStringLiteral("   "));
        for (Qt::FocusReason reason : {Qt::PopupFocusReason, Qt::ActiveWindowFocusReason}) {
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
    }

    // "*.*" is every file, also one without an extension, and the filter reads as given.
    void allFilesFilterListsNamesWithoutAnExtension()
    {
        TempWorkDir folder;
        folder.write(QStringLiteral("README"), {});
        QFileDialog dialog(nullptr, {}, folder.path());
        dialog.setOptions(QFileDialog::DontUseNativeDialog | QFileDialog::HideNameFilterDetails);
        dialog.setNameFilter(platformNameFilters(QStringLiteral("Excel (*.xls);;すべてのファイル(*.*)")));
        QCOMPARE(dialog.findChild<QComboBox *>(QStringLiteral("fileTypeCombo"))->itemText(1), QStringLiteral("すべてのファイル(*.*)"));
        dialog.selectNameFilter(dialog.nameFilters().at(1));
        auto *model = dialog.findChild<QFileSystemModel *>();
        QTRY_COMPARE(model->rowCount(model->index(folder.path())), 1);
    }

    void realMessageBoxAnswersYes()
    {
        QtPrompter prompter;
        QTimer::singleShot(0, [] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            QVERIFY(box);
            QCOMPARE(box->text(), kSaveQuestion);
            box->button(QMessageBox::Yes)->click();
        });
        const MessageAnswer answer = prompter.ask(
            nullptr, {MessageIcon::None, QStringLiteral("設定の保存"), kSaveQuestion, MessageButtons::YesNo});
        QCOMPARE(answer, MessageAnswer::Yes);
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
        QCOMPARE(running.prompter.shown.size(), 1);
        QCOMPARE(running.prompter.shown.last().text, QStringLiteral("現時点ではｼｽﾃﾑ情報を使用できません"));
    }
};

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
