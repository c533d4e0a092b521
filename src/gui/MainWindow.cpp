#include "gui/MainWindow.h"

#include "gui/SystemInfo.h"
#include "core/document/XmlDocument.h"
#include "gui/dialogs/NetworkSettingsDialog.h"
#include "gui/dialogs/XmlSettingsDialog.h"
#include "gui/dialogs/StatusDetailsDialog.h"
#include "gui/dialogs/AboutDialog.h"
#include "core/send/InsertRequest.h"
#include "core/send/TransferStatus.h"

#include "ui_MainWindow.h"

#include <QCloseEvent>
#include <QLayout>

#include <exception>

namespace tessaly {

namespace {
const QString kDialogCancelled = QStringLiteral("ファイルの選択が取り消されました。");
}

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
    connect(&m_transfer, &Transfer::stateChanged, this,
            [this](int state) { runHandler([this, state] { onTransferStateChanged(state); }); });

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

void MainWindow::start()
{
    runHandler([this] {
        loadSettings();
        m_startupComplete = false;
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
    restoreBlankTableName();
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
               QStringLiteral("Excel (*.xls);;すべてのファイル(*.*)"), m_dialogFileName});
    if (chosen) {
        m_dialogFileName = *chosen;
    } else if (!m_startupComplete) {
        reportError(kDialogCancelled);
        return;
    }
    // A later cancel opens the workbook chosen last again.
    QString error;
    std::unique_ptr<xls::Workbook> workbook = xls::Workbook::open(m_dialogFileName, &error);
    if (!workbook) {
        reportError(error);
        return;
    }
    m_workbook = std::move(workbook);
    m_ui->sheetList->clear();
    m_ui->documentView->setText({});
    m_ui->sheetList->addItems(m_workbook->sheetNames());
    if (m_ui->sheetList->count() == 0) {
        m_prompter.ask(this, {MessageIcon::Information, QStringLiteral("通知メッセージ"),
                              QStringLiteral("利用できるシートがありません"), MessageButtons::Ok});
        return;
    }
    m_ui->sheetList->setCurrentRow(0);
}

void MainWindow::saveDocumentAs()
{
    setStatusText({});
    if (trimSpaces(m_ui->documentView->text()).isEmpty()) {
        setStatusText(QStringLiteral("Excelファイルを開いて下さい。"));
        return;
    }
    if (m_dialogFileName.endsWith(u"xls"))
        m_dialogFileName = m_dialogFileName.chopped(3) + QStringLiteral("xml");
    const std::optional<QString> chosen = m_prompter.chooseFile(
        this, {FileDialogRequest::Mode::Save, QStringLiteral("XML文書をファイルの保存"),
               QStringLiteral("xml (*.xml);;すべてのファイル(*.*)"), m_dialogFileName});
    if (!chosen) {
        reportError(kDialogCancelled);
        return;
    }
    m_dialogFileName = *chosen;
    const QString error = saveDocument(*chosen, m_ui->documentView->text(), m_settings.charset);
    if (!error.isEmpty())
        reportError(error);
}

void MainWindow::onSendClicked()
{
    restoreBlankTableName();
    setStatusText(sendInsert(m_transfer, m_settings, m_ui->documentView->text()));
}

void MainWindow::showStatusDetails()
{
    StatusDetailsDialog dialog(this);
    dialog.setStatusText(statusText());
    dialog.exec();
}

void MainWindow::onTransferStateChanged(int state)
{
    if (const std::optional<QString> text = statusTextForState(state, m_transfer))
        setStatusText(*text);
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

// A blank table name is restored when the field loses the focus, and also before any command that
// reads it: an access key presses a button without taking the focus from the field.
void MainWindow::restoreBlankTableName()
{
    const QString restored = restoreBlankName(m_ui->tableNameEdit->text(), Settings{}.table);
    if (restored != m_ui->tableNameEdit->text())
        m_ui->tableNameEdit->setText(restored);
}

void MainWindow::confirmSaveBeforeClose()
{
    restoreBlankTableName();
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

bool MainWindow::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_ui->documentView && event->type() == QEvent::FocusIn) {
        m_ui->sheetList->setFocus(Qt::OtherFocusReason);
    } else if (watched == m_ui->tableNameEdit && event->type() == QEvent::FocusOut) {
        runHandler([this] { restoreBlankTableName(); });
    }
    return QMainWindow::eventFilter(watched, event);
}

} // namespace tessaly
