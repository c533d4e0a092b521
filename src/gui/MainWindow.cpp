#include "gui/MainWindow.h"

#include "core/document/XmlDocument.h"
#include "core/send/InsertRequest.h"
#include "core/send/TransferStatus.h"
#include "gui/SystemInfo.h"
#include "gui/dialogs/AboutDialog.h"
#include "gui/dialogs/NetworkSettingsDialog.h"
#include "gui/dialogs/StatusDetailsDialog.h"
#include "gui/dialogs/XmlSettingsDialog.h"

#include "ui_MainWindow.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDir>
#include <QEventLoop>
#include <QFileInfo>
#include <QKeyEvent>
#include <QMimeData>
#include <QMenu>
#include <QSettings>
#include <QThread>

#include <exception>
#include <optional>

namespace tessaly {

namespace {

const QString kDialogCancelled = QStringLiteral("ファイルの選択が取り消されました。");

// Every workbook type that can be read comes first, so that no book is hidden at first.
const QString kWorkbookFilters = QStringLiteral(
    "すべてのブック (*.xls *.xlsx *.xlsm *.xltx *.ods);;Excel (*.xls);;Excel ブック (*.xlsx *.xlsm *.xltx);;"
    "OpenDocument スプレッドシート (*.ods);;すべてのファイル(*.*)");

constexpr std::chrono::milliseconds kProgressDelay{500};
constexpr std::chrono::milliseconds kProgressRefresh{100};
constexpr qsizetype kRecentWorkbookCount = 8;

// What is kept per user, apart from XMLConfig.xml: the window's size and the workbooks opened last.
QSettings userSettings()
{
    return QSettings(QStringLiteral("Tessaly"), QStringLiteral("tessaly"));
}

// The one local file a drag carries, or nothing.
QString draggedFile(const QMimeData *mime)
{
    const QList<QUrl> urls = mime->urls();
    return urls.size() == 1 && urls.first().isLocalFile() ? urls.first().toLocalFile() : QString();
}

// The name the save dialog proposes: the workbook's with its extension replaced by .xml, so that a
// careless Enter never overwrites the workbook. A name ending in "xls" has just those letters replaced.
QString documentNameFor(const QString &workbookPath)
{
    if (workbookPath.endsWith(u"xls"))
        return workbookPath.chopped(3) + QStringLiteral("xml");
    const QString suffix = QFileInfo(workbookPath).suffix();
    return suffix.isEmpty() ? workbookPath + QStringLiteral(".xml") : workbookPath.chopped(suffix.size()) + QStringLiteral("xml");
}

} // namespace

MainWindow::MainWindow(Prompter &prompter, QWidget *parent)
    : QMainWindow(parent)
    , m_ui(std::make_unique<Ui::MainWindow>())
    , m_prompter(prompter)
{
    m_ui->setupUi(this);
    setCentralWidget(m_ui->clientArea);

    m_ui->tableNameEdit->installEventFilter(this);
    setAcceptDrops(true);

    route(m_ui->openButton, &QPushButton::clicked, &MainWindow::onOpenClicked);
    route(m_ui->openAction, &QAction::triggered, &MainWindow::openWorkbook);
    route(m_ui->saveAction, &QAction::triggered, &MainWindow::saveDocumentAs);
    connect(m_ui->exitButton, &QPushButton::clicked, this, &QWidget::close);
    connect(m_ui->exitAction, &QAction::triggered, this, &QWidget::close);
    route(m_ui->sendButton, &QPushButton::clicked, &MainWindow::onSendClicked);
    route(m_ui->detailsButton, &QPushButton::clicked, &MainWindow::showStatusDetails);
    route(m_ui->networkSettingsAction, &QAction::triggered, &MainWindow::editNetworkSettings);
    route(m_ui->xmlSettingsAction, &QAction::triggered, &MainWindow::editXmlSettings);
    route(m_ui->saveSettingsAction, &QAction::triggered, &MainWindow::saveSettingsNow);
    route(m_ui->aboutAction, &QAction::triggered, &MainWindow::showAbout);
    route(m_ui->sheetList, &QListWidget::currentRowChanged, &MainWindow::showSelectedSheet);
    route(m_ui->tableNameEdit, &QLineEdit::textChanged, &MainWindow::onTableNameEdited);
    connect(&m_transfer, &Transfer::finished, this,
            [this](const TransferResult &result) { runHandler([this, &result] { onTransferFinished(result); }); });
    connect(&m_transfer, &Transfer::uploadProgress, this, [this](qint64 sent, qint64 total) {
        // Work started meanwhile has the bar.
        if (m_busy)
            return;
        m_progressDone = sent;
        m_progressTotal = total;
    });

    m_progressDelay.setSingleShot(true);
    m_progressDelay.setInterval(kProgressDelay);
    connect(&m_progressDelay, &QTimer::timeout, this, &MainWindow::showProgress);
    m_progressRefresh.setInterval(kProgressRefresh);
    connect(&m_progressRefresh, &QTimer::timeout, this, &MainWindow::refreshProgress);

    restoreUserState();

    // The status line shows the server's answer as it is, also when that is an HTML page.
    m_ui->statusLabel->setTextFormat(Qt::PlainText);
}

MainWindow::~MainWindow() = default;

void MainWindow::route(auto *sender, auto signal, void (MainWindow::*handler)())
{
    connect(sender, signal, this, [this, handler] { runHandler([this, handler] { (this->*handler)(); }); });
}

void MainWindow::runHandler(const std::function<void()> &handler)
{
    ++m_handlerDepth;
    try {
        handler();
    } catch (const std::bad_alloc &) {
        reportError(QStringLiteral("メモリが不足しているため、処理を続けられませんでした。"));
    } catch (const std::exception &error) {
        reportError(QStringLiteral("予期しないエラーが発生しました。\n%1").arg(QString::fromLocal8Bit(error.what())));
    }
    // The progress of what the user started spans all of its steps (opening a book, then reading
    // its first worksheet), so it ends with the outermost handler.
    if (--m_handlerDepth == 0 && m_progressUnit == ProgressUnit::Rows)
        endProgress();
}

// The work's thread is joined before this returns. While it runs, the nested event loop paints the
// window and takes the user's input; the controls that would start other work are disabled.
void MainWindow::runInBackground(const std::function<void()> &work)
{
    std::exception_ptr failure;
    std::unique_ptr<QThread> thread(QThread::create([&work, &failure] {
        try {
            work();
        } catch (...) {
            failure = std::current_exception();
        }
    }));
    QEventLoop loop;
    connect(thread.get(), &QThread::finished, &loop, &QEventLoop::quit);
    setBusy(true);
    thread->start();
    loop.exec();
    thread->wait();
    setBusy(false);
    if (failure)
        std::rethrow_exception(failure);
}

void MainWindow::setBusy(bool busy)
{
    m_busy = busy;
    const QList<QWidget *> controls{m_ui->sheetList, m_ui->openButton, m_ui->sendButton};
    if (busy) {
        if (m_progressUnit != ProgressUnit::Rows)
            beginProgress(ProgressUnit::Rows);
        m_progressDone = 0;
        m_progressTotal = 0;
        // Disabling the control that has the focus would hand it on to the next one, the table
        // name, which reacts to losing it; the client area holds it meanwhile. A window that never
        // had the focus (at start-up) gets it where it would have: in the worksheet list.
        QWidget *focused = focusWidget();
        m_focusBeforeWork = !focused ? m_ui->sheetList : controls.contains(focused) ? focused : nullptr;
        if (m_focusBeforeWork)
            m_ui->clientArea->setFocus(Qt::OtherFocusReason);
    } else if (m_handlerDepth == 0) {
        endProgress();
    } else if (m_progressRefresh.isActive()) {
        refreshProgress(); // the count complete, until the next step or the action's end
    }
    for (QWidget *control : controls)
        control->setEnabled(!busy);
    for (QAction *action : {m_ui->openAction, m_ui->saveAction, m_ui->xmlSettingsAction, m_ui->recentMenu->menuAction()})
        action->setEnabled(!busy);
    if (!busy && m_focusBeforeWork)
        m_focusBeforeWork->setFocus(Qt::OtherFocusReason);
    if (!busy && m_closeRequested)
        QTimer::singleShot(0, this, &QWidget::close);
}

// The bar and the wait cursor show only for work that lasts: a short wait is no news.
void MainWindow::beginProgress(ProgressUnit unit)
{
    endProgress();
    m_progressUnit = unit;
    m_progressDone = 0;
    m_progressTotal = 0;
    m_ui->progressBar->setFormat(unit == ProgressUnit::Rows ? QStringLiteral("%v / %m 行") : QStringLiteral("%p%"));
    m_progressDelay.start();
}

void MainWindow::showProgress()
{
    if (m_progressUnit == ProgressUnit::Rows)
        QApplication::setOverrideCursor(Qt::WaitCursor);
    refreshProgress();
    m_ui->progressBar->show();
    m_progressRefresh.start();
}

void MainWindow::refreshProgress()
{
    const qint64 total = m_progressTotal;
    // A bar counts in int: large totals are shown in steps.
    const qint64 step = total / INT_MAX + 1;
    m_ui->progressBar->setRange(0, int(total / step));
    m_ui->progressBar->setValue(int(std::min<qint64>(m_progressDone, total) / step));
}

void MainWindow::endProgress()
{
    if (m_progressRefresh.isActive() && m_progressUnit == ProgressUnit::Rows)
        QApplication::restoreOverrideCursor();
    m_progressUnit.reset();
    m_progressDelay.stop();
    m_progressRefresh.stop();
    m_ui->progressBar->hide();
}

void MainWindow::reportError(const QString &description)
{
    m_prompter.ask(this, {MessageIcon::Warning, QStringLiteral("エラーメッセージ"), description, MessageButtons::Ok});
}

void MainWindow::start(const QString &workbookPath)
{
    runHandler([this, &workbookPath] {
        loadSettings();
        m_startupComplete = false;
        if (workbookPath.isEmpty() || !openWorkbookFile(workbookPath))
            openWorkbook();
        m_startupComplete = true;
        m_settingsChanged = false;
    });
}

void MainWindow::setSettings(const Settings &settings)
{
    m_settings = settings;
    m_ui->tableNameEdit->setText(settings.table);
}

QString MainWindow::statusText() const
{
    return m_ui->statusLabel->text();
}

void MainWindow::setStatusText(const QString &text)
{
    m_ui->statusLabel->setText(text);
}

void MainWindow::restoreUserState()
{
    const QSettings user = userSettings();
    restoreGeometry(user.value(QStringLiteral("window/geometry")).toByteArray());
    m_recentWorkbooks = user.value(QStringLiteral("recentWorkbooks")).toStringList();
    if (m_dialogFileName.isEmpty())
        m_dialogFileName = m_recentWorkbooks.value(0);
    updateRecentMenu();
}

void MainWindow::saveUserState()
{
    QSettings user = userSettings();
    user.setValue(QStringLiteral("window/geometry"), saveGeometry());
    user.setValue(QStringLiteral("recentWorkbooks"), m_recentWorkbooks);
}

void MainWindow::rememberWorkbook(const QString &path)
{
    const QString absolute = QFileInfo(path).absoluteFilePath();
    m_recentWorkbooks.removeAll(absolute);
    m_recentWorkbooks.prepend(absolute);
    while (m_recentWorkbooks.size() > kRecentWorkbookCount)
        m_recentWorkbooks.removeLast();
    userSettings().setValue(QStringLiteral("recentWorkbooks"), m_recentWorkbooks);
    updateRecentMenu();
}

void MainWindow::updateRecentMenu()
{
    QMenu *menu = m_ui->recentMenu;
    menu->clear();
    for (qsizetype index = 0; index < m_recentWorkbooks.size(); ++index) {
        const QString path = m_recentWorkbooks[index];
        QAction *entry = menu->addAction(QStringLiteral("&%1 %2").arg(index + 1).arg(QDir::toNativeSeparators(path)));
        connect(entry, &QAction::triggered, this, [this, path] { runHandler([this, &path] { openDroppedWorkbook(path); }); });
    }
    menu->menuAction()->setEnabled(!m_recentWorkbooks.isEmpty() && !m_busy);
}

void MainWindow::loadSettings()
{
    m_configDocument.load(kConfigFileName);
    Settings loaded = m_settings;
    m_configDocument.readInto(loaded);
    setSettings(loaded);
}

Outcome MainWindow::saveSettings()
{
    restoreBlankTableNameIfEditing();
    return m_configDocument.save(m_settings, kConfigFileName);
}

void MainWindow::onOpenClicked()
{
    setStatusText({});
    openWorkbook();
}

void MainWindow::openWorkbook()
{
    setStatusText({});
    const std::optional<QString> chosen = m_prompter.chooseFile(
        this, {FileDialogRequest::Mode::Open, QStringLiteral("Excelワークシートを開く"), kWorkbookFilters, m_dialogFileName});
    // A later cancel changes nothing: the workbook, its worksheet and its document stay.
    if (!chosen) {
        if (!m_startupComplete)
            reportError(kDialogCancelled);
        return;
    }
    openWorkbookFile(*chosen);
}

// Opening proper, shared by the file dialog, the command line and a drop. The name is kept for
// the next file dialog also when the workbook cannot be opened.
bool MainWindow::openWorkbookFile(const QString &path)
{
    m_dialogFileName = path;
    Result<std::unique_ptr<workbook::Workbook>> workbook = Failure{};
    runInBackground([&] { workbook = workbook::Workbook::open(path); });
    if (!workbook) {
        reportError(workbook.failure().message);
        return false;
    }
    m_workbook = std::move(*workbook);
    setWindowTitle(QStringLiteral("Tessaly - %1").arg(QFileInfo(path).fileName()));
    rememberWorkbook(path);
    m_ui->sheetList->clear();
    m_ui->documentView->setText({});
    m_ui->sheetList->addItems(m_workbook->sheetNames());
    if (m_ui->sheetList->count() == 0) {
        m_prompter.ask(this, {MessageIcon::Information, QStringLiteral("通知メッセージ"),
                              QStringLiteral("利用できるシートがありません"), MessageButtons::Ok});
        return true;
    }
    m_ui->sheetList->setCurrentRow(0);
    return true;
}

// As "開く" does, with the file already chosen.
void MainWindow::openDroppedWorkbook(const QString &path)
{
    setStatusText({});
    openWorkbookFile(path);
}

void MainWindow::saveDocumentAs()
{
    setStatusText({});
    if (m_ui->documentView->isEmpty()) {
        setStatusText(QStringLiteral("Excelファイルを開いて下さい。"));
        return;
    }
    m_dialogFileName = documentNameFor(m_dialogFileName);
    const std::optional<QString> chosen = m_prompter.chooseFile(
        this, {FileDialogRequest::Mode::Save, QStringLiteral("XML文書をファイルの保存"),
               QStringLiteral("xml (*.xml);;すべてのファイル(*.*)"), m_dialogFileName});
    if (!chosen) {
        reportError(kDialogCancelled);
        return;
    }
    // A failed save does not move the next file dialog to where the file could not be written.
    Outcome saved;
    const QByteArray document = m_ui->documentView->utf8();
    const QString charset = m_settings.charset;
    runInBackground([&] { saved = saveUtf8Document(*chosen, document, charset); });
    if (!saved) {
        reportError(saved.failure().message);
        return;
    }
    m_dialogFileName = *chosen;
    setStatusText(QStringLiteral("「%1」に保存しました。").arg(QFileInfo(*chosen).fileName()));
}

void MainWindow::onSendClicked()
{
    // A send replaces a blank table name by the default: the field shows it first, focused or
    // not, so that the name shown is the name sent.
    restoreBlankTableName();
    if (m_transfer.isRunning()) {
        const MessageAnswer answer = m_prompter.ask(this, {MessageIcon::None, QStringLiteral("送信の中止"),
                                                           QStringLiteral("送信を中止しますか？"), MessageButtons::YesNo});
        // The answer may have arrived while the question was open.
        if (answer == MessageAnswer::Yes)
            m_transfer.cancel();
        else if (m_transfer.isRunning())
            setStatusText(busyStatusText());
        return;
    }
    // The work has copies: the user may edit the table name meanwhile.
    std::optional<InsertRequest> request;
    const QByteArray document = m_ui->documentView->utf8();
    const Settings settings = m_settings;
    const QString requestId = m_requestId;
    runInBackground([&] { request = buildUtf8InsertRequest(settings, document, requestId); });
    const Outcome started = sendInsert(m_transfer, *request);
    setStatusText(started ? sentStatusText() : started.failure().message);
    // The upload's progress shows in the same bar, without the wait cursor: the window is free.
    if (started)
        beginProgress(ProgressUnit::Bytes);
}

void MainWindow::showStatusDetails()
{
    StatusDetailsDialog dialog(this);
    dialog.setStatusText(statusText());
    dialog.exec();
}

void MainWindow::onTransferFinished(const TransferResult &result)
{
    if (m_progressUnit == ProgressUnit::Bytes)
        endProgress();
    setStatusText(statusLine(result));
}

void MainWindow::editNetworkSettings()
{
    setStatusText({});
    NetworkSettingsDialog dialog(this);
    editSettings(dialog);
}

// The document follows the settings: the selected worksheet is converted again however the dialog
// was closed.
void MainWindow::editXmlSettings()
{
    {
        XmlSettingsDialog dialog(this);
        editSettings(dialog);
    }
    showSelectedSheet();
}

// The dialog works on copies of the settings. Only OK writes them back, and it reports a change
// when the dialog saw one; the flag is never cleared here.
void MainWindow::editSettings(SettingsDialog &dialog)
{
    dialog.copyIn(m_settings);
    if (dialog.exec() != QDialog::Accepted)
        return;
    Settings edited = m_settings;
    dialog.writeBack(edited);
    setSettings(edited);
    if (dialog.changed())
        setSettingsChanged(true);
}

void MainWindow::saveSettingsNow()
{
    const Outcome saved = saveSettings();
    if (!saved) {
        reportError(saved.failure().message);
        return;
    }
    m_settingsChanged = false;
    m_closeWithoutAsking = false;
}

void MainWindow::showAbout()
{
    const std::unique_ptr<Registry> registry = makeSystemRegistry();
    QtProgramLauncher launcher;
    AboutDialog about(m_prompter, *registry, launcher, this);
    about.exec();
}

void MainWindow::showSelectedSheet()
{
    const int index = m_ui->sheetList->currentRow();
    if (index < 0 || !m_workbook)
        return;
    // The document shown before is let go first: two large documents need not fit at once.
    m_ui->documentView->setText({});
    QString error;
    QByteArray document;
    const Settings settings = m_settings;
    runInBackground([&] {
        const Result<workbook::SheetTable> table = m_workbook->readSheet(index);
        if (!table) {
            error = table.failure().message;
            return;
        }
        if (const Outcome fits = checkDocumentLength(*table); !fits) {
            error = fits.failure().message;
            return;
        }
        m_progressTotal = table->recordCount();
        document = buildUtf8Document(*table, settings, [this](qsizetype records) { m_progressDone = records; });
    });
    if (!error.isEmpty()) {
        reportError(error);
        return;
    }
    m_ui->documentView->setUtf8(std::move(document));
    m_requestId = newRequestId();
}

void MainWindow::onTableNameEdited()
{
    m_settings.table = m_ui->tableNameEdit->text();
    m_settingsChanged = true;
}

// A blank table name is restored when the user leaves the field (leavingRestoresBlankName), and
// before a send.
void MainWindow::restoreBlankTableName()
{
    const QString restored = restoreBlankName(m_ui->tableNameEdit->text(), Settings{}.table);
    if (restored != m_ui->tableNameEdit->text())
        m_ui->tableNameEdit->setText(restored);
}

// Before a command that reads the name: an access key runs it without taking the focus from the
// field. A blank name the field holds without the focus (as loaded) is left alone.
void MainWindow::restoreBlankTableNameIfEditing()
{
    if (focusWidget() == m_ui->tableNameEdit)
        restoreBlankTableName();
}

// Whether the window may close: a running send is stopped only when the user agrees, and when
// the settings cannot be saved the window stays, so that nothing is lost unasked; closing again
// then closes without asking.
bool MainWindow::confirmClose()
{
    if (m_transfer.isRunning()) {
        const MessageAnswer answer = m_prompter.ask(this, {MessageIcon::None, QStringLiteral("送信の中止"),
                                                           QStringLiteral("送信中です。中止して終了しますか？"),
                                                           MessageButtons::YesNo});
        if (answer != MessageAnswer::Yes)
            return false;
        // The answer may have arrived while the question was open.
        if (m_transfer.isRunning())
            m_transfer.cancel();
    }
    restoreBlankTableNameIfEditing();
    if (!m_settingsChanged || m_closeWithoutAsking)
        return true;
    const MessageAnswer answer = m_prompter.ask(
        this, {MessageIcon::None, QStringLiteral("設定の保存"), QStringLiteral("設定を保存しますか？"), MessageButtons::YesNo});
    if (answer != MessageAnswer::Yes)
        return true;
    const Outcome saved = saveSettings();
    if (!saved) {
        reportError(saved.failure().message);
        m_closeWithoutAsking = true;
        return false;
    }
    return true;
}

// Work in progress is finished first: the window closes when it has ended.
void MainWindow::closeEvent(QCloseEvent *event)
{
    m_closeRequested = m_busy;
    bool closing = !m_busy;
    if (closing)
        runHandler([this, &closing] { closing = confirmClose(); });
    if (!closing) {
        event->ignore();
        return;
    }
    saveUserState();
    event->accept();
}

void MainWindow::dragEnterEvent(QDragEnterEvent *event)
{
    if (!draggedFile(event->mimeData()).isEmpty())
        event->acceptProposedAction();
}

void MainWindow::dropEvent(QDropEvent *event)
{
    const QString path = draggedFile(event->mimeData());
    if (path.isEmpty() || m_busy)
        return;
    event->acceptProposedAction();
    runHandler([this, &path] { openDroppedWorkbook(path); });
}

bool MainWindow::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_ui->tableNameEdit) {
        switch (event->type()) {
        case QEvent::FocusOut:
            if (leavingRestoresBlankName(static_cast<QFocusEvent *>(event)->reason()))
                runHandler([this] { restoreBlankTableName(); });
            break;
        case QEvent::KeyPress: {
            // Alt with a letter that is no access key reaches the field carrying the bare letter; it
            // is no text to type. (A character that Option or AltGr composes is typed as usual.)
            const auto *key = static_cast<QKeyEvent *>(event);
            const bool bareLetter = key->key() >= Qt::Key_A && key->key() <= Qt::Key_Z
                                    && key->text().compare(QChar(key->key()), Qt::CaseInsensitive) == 0;
            if ((key->modifiers() & Qt::AltModifier) && bareLetter)
                return true;
            break;
        }
        case QEvent::DragEnter:
        case QEvent::DragMove:
        case QEvent::Drop: {
            // A workbook dragged onto the field opens like one dropped on the window, not as text.
            auto *drag = static_cast<QDropEvent *>(event);
            if (draggedFile(drag->mimeData()).isEmpty())
                break;
            if (event->type() == QEvent::Drop)
                dropEvent(drag);
            else
                drag->acceptProposedAction();
            return true;
        }
        default:
            break;
        }
    }
    return QMainWindow::eventFilter(watched, event);
}

} // namespace tessaly
