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

#include <QCloseEvent>
#include <QFileInfo>
#include <QKeyEvent>
#include <QLayout>
#include <QMimeData>

#include <exception>

namespace tessaly {

namespace {

const QString kDialogCancelled = QStringLiteral("ファイルの選択が取り消されました。");

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
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint
                   | Qt::WindowCloseButtonHint);
    layout()->setSizeConstraint(QLayout::SetFixedSize);
    setCentralWidget(m_ui->clientArea);

    m_ui->documentView->installEventFilter(this);
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

    // The status line shows the server's answer as it is, also when that is an HTML page.
    m_ui->statusLabel->setTextFormat(Qt::PlainText);
}

MainWindow::~MainWindow() = default;

void MainWindow::route(QObject *sender, auto signal, void (MainWindow::*handler)())
{
    using Sender = typename QtPrivate::FunctionPointer<decltype(signal)>::Object;
    connect(static_cast<Sender *>(sender), signal, this, [this, handler] { runHandler([this, handler] { (this->*handler)(); }); });
}

void MainWindow::runHandler(const std::function<void()> &handler)
{
    try {
        handler();
    } catch (const std::bad_alloc &) {
        reportError(QStringLiteral("メモリが不足しているため、処理を続けられませんでした。"));
    } catch (const std::exception &error) {
        reportError(QStringLiteral("予期しないエラーが発生しました。\n%1").arg(QString::fromLocal8Bit(error.what())));
    }
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

void MainWindow::loadSettings()
{
    m_configDocument.load(kConfigFileName);
    Settings loaded = m_settings;
    m_configDocument.readInto(loaded);
    setSettings(loaded);
}

ConfigSaveResult MainWindow::saveSettings()
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
        this, {FileDialogRequest::Mode::Open, QStringLiteral("Excelワークシートを開く"),
               QStringLiteral("Excel (*.xls);;Excel ブック (*.xlsx *.xlsm *.xltx);;"
                              "OpenDocument スプレッドシート (*.ods);;すべてのファイル(*.*)"),
               m_dialogFileName});
    if (!chosen && !m_startupComplete) {
        reportError(kDialogCancelled);
        return;
    }
    // A later cancel opens the workbook chosen last again.
    openWorkbookFile(chosen.value_or(m_dialogFileName));
}

// Opening proper, shared by the file dialog, the command line and a drop. The name is kept for
// the next file dialog also when the workbook cannot be opened.
bool MainWindow::openWorkbookFile(const QString &path)
{
    m_dialogFileName = path;
    QString error;
    std::unique_ptr<xls::Workbook> workbook = xls::Workbook::open(path, &error);
    if (!workbook) {
        reportError(error);
        return false;
    }
    m_workbook = std::move(workbook);
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
    if (trimSpaces(m_ui->documentView->text()).isEmpty()) {
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
    const QString error = saveDocument(*chosen, m_ui->documentView->text(), m_settings.charset);
    if (!error.isEmpty()) {
        reportError(error);
        return;
    }
    m_dialogFileName = *chosen;
}

void MainWindow::onSendClicked()
{
    // A send replaces a blank table name by the default: the field shows it first, focused or
    // not, so that the name shown is the name sent.
    restoreBlankTableName();
    if (m_transfer.isRunning()) {
        const MessageAnswer answer = m_prompter.ask(
            this, {MessageIcon::None, QStringLiteral("送信の中止"), QStringLiteral("送信を中止しますか？"),
                   MessageButtons::YesNo});
        // The answer may have arrived while the question was open.
        if (answer == MessageAnswer::Yes)
            m_transfer.cancel();
        else if (m_transfer.isRunning())
            setStatusText(busyStatusText());
        return;
    }
    setStatusText(sendInsert(m_transfer, m_settings, m_ui->documentView->text()));
}

void MainWindow::showStatusDetails()
{
    StatusDetailsDialog dialog(this);
    dialog.setStatusText(statusText());
    dialog.exec();
}

void MainWindow::onTransferFinished(const TransferResult &result)
{
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
    const ConfigSaveResult result = saveSettings();
    if (!result.ok) {
        reportError(result.errorString);
        return;
    }
    m_settingsChanged = false;
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
    QString error;
    const std::optional<xls::SheetTable> table = m_workbook->readSheet(index, &error);
    if (!table) {
        reportError(error);
        return;
    }
    m_ui->documentView->setUtf8(buildUtf8Document(*table, m_settings));
}

void MainWindow::onTableNameEdited()
{
    m_settings.table = m_ui->tableNameEdit->text();
    m_settingsChanged = true;
}

// A blank table name is restored when the focus moves from the field to another control of the
// window, not when a context menu opens or another program is activated (the user may be about to
// paste a name).
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

void MainWindow::confirmSaveBeforeClose()
{
    restoreBlankTableNameIfEditing();
    if (!m_settingsChanged)
        return;
    const MessageAnswer answer = m_prompter.ask(
        this, {MessageIcon::None, QStringLiteral("設定の保存"), QStringLiteral("設定を保存しますか？"),
               MessageButtons::YesNo});
    if (answer != MessageAnswer::Yes)
        return;
    const ConfigSaveResult result = saveSettings();
    if (!result.ok)
        reportError(result.errorString);
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    runHandler([this] { confirmSaveBeforeClose(); });
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
    if (path.isEmpty())
        return;
    event->acceptProposedAction();
    runHandler([this, &path] { openDroppedWorkbook(path); });
}

bool MainWindow::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_ui->documentView && event->type() == QEvent::FocusIn) {
        m_ui->sheetList->setFocus(Qt::OtherFocusReason);
    } else if (watched == m_ui->tableNameEdit) {
        switch (event->type()) {
        case QEvent::FocusOut: {
            const Qt::FocusReason reason = static_cast<QFocusEvent *>(event)->reason();
            if (reason != Qt::PopupFocusReason && reason != Qt::ActiveWindowFocusReason
                && reason != Qt::MenuBarFocusReason)
                runHandler([this] { restoreBlankTableName(); });
            break;
        }
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
