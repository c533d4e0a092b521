#include "gui/DocumentView.h"

#include "tests/common/Fixtures.h"
#include "tests/common/RunningWindow.h"
#include "tests/common/TempWorkDir.h"

#include <QClipboard>
#include <QFontInfo>
#include <QGlyphRun>
#include <QMenu>
#include <QScrollBar>
#include <QTextLayout>
#include <QTimer>

using tessaly::DocumentView;

// Opens the view's context menu and triggers the entry with this text.
static void chooseFromContextMenu(DocumentView *view, const QString &entry)
{
    QTimer::singleShot(0, [entry] {
        auto *menu = qobject_cast<QMenu *>(QApplication::activePopupWidget());
        QVERIFY(menu);
        for (QAction *action : menu->actions()) {
            if (action->text() == entry)
                action->trigger();
        }
        menu->close();
    });
    QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(10, 10), view->viewport()->mapToGlobal(QPoint(10, 10)));
    QApplication::sendEvent(view->viewport(), &event);
}

class TestDocumentView : public QObject {
    Q_OBJECT

private slots:
    void markupAfterKanjiIsDrawnInTheSameFont()
    {
        DocumentView view;
        if (QFontInfo(view.font()).family() != u"IPAGothic") {
            if (qgetenv("CI") == "true")
                QFAIL("IPAGothic is missing (Debian package fonts-ipafont-gothic)");
            QSKIP("IPAGothic is missing (Debian package fonts-ipafont-gothic)");
        }
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

    void selectingAndCopyingLeaveTheFocusOnTheSheetList()
    {
        TempWorkDir dir;
        RunningWindow running(fixture("fixtures-biff8.xls"));
        auto *view = running.child<DocumentView>("documentView");
        const int line = QFontMetrics(view->font()).lineSpacing();
        // A drag from the start of the second line to the middle of the third.
        QTest::mousePress(view->viewport(), Qt::LeftButton, {}, QPoint(2, line + line / 2));
        QTest::mouseMove(view->viewport(), QPoint(200, 2 * line + line / 2));
        QTest::mouseRelease(view->viewport(), Qt::LeftButton, {}, QPoint(200, 2 * line + line / 2));
        QCOMPARE(QApplication::focusWidget(), running.sheetList());
        QCOMPARE(view->selectedText().left(10), QStringLiteral("<ROWSET>\r\n"));

        QApplication::clipboard()->clear();
        chooseFromContextMenu(view, QStringLiteral("コピー"));
        QCOMPARE(QApplication::clipboard()->text(), view->selectedText());
        chooseFromContextMenu(view, QStringLiteral("すべて選択"));
        chooseFromContextMenu(view, QStringLiteral("コピー"));
        QCOMPARE(QApplication::clipboard()->text(), running.document().chopped(2)); // up to the last line end
        // The offscreen platform activates the menus' windows; back in the main window, the focus
        // is where it was.
        running.window.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&running.window));
        QCOMPARE(QApplication::focusWidget(), running.sheetList());
    }
};

QTEST_MAIN(TestDocumentView)
#include "tst_documentview.moc"
