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
    , m_ui(std::make_unique<Ui::frmExcel>())
    , m_prompter(prompter)
{
    m_ui->setupUi(this);
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint
                   | Qt::WindowCloseButtonHint);
    layout()->setSizeConstraint(QLayout::SetFixedSize);
    setCentralWidget(m_ui->clientArea);

    m_ui->Text1->installEventFilter(this);
    m_ui->txtTable->installEventFilter(this);

    route(m_ui->cmdOpen, &QPushButton::clicked, &MainWindow::cmdOpen_Click);
    route(m_ui->open, &QAction::triggered, &MainWindow::openBook);
    route(m_ui->save, &QAction::triggered, &MainWindow::saveXml);
    connect(m_ui->cmdExit, &QPushButton::clicked, this, &QWidget::close);
    connect(m_ui->exit, &QAction::triggered, this, &QWidget::close);
    route(m_ui->cmdPost, &QPushButton::clicked, &MainWindow::cmdPost_Click);
    route(m_ui->cmdStatus, &QPushButton::clicked, &MainWindow::cmdStatus_Click);
    route(m_ui->network, &QAction::triggered, &MainWindow::showNetwork);
    route(m_ui->xml, &QAction::triggered, &MainWindow::showXmlSetting);
    route(m_ui->saveSetting, &QAction::triggered, &MainWindow::saveSetting_Click);
    route(m_ui->About, &QAction::triggered, &MainWindow::About_Click);
    route(m_ui->lstSheetList, &QListWidget::currentRowChanged, &MainWindow::lstSheetList_Click);
    route(m_ui->txtTable, &QLineEdit::textChanged, &MainWindow::txtTable_Change);
    connect(&Inet1, &Transfer::stateChanged, this,
            [this](int state) { runHandler([this, state] { Inet1_StateChanged(state); }); });

    // The status line shows the server's answer as it is, also when that is an HTML page.
    m_ui->lblStatus->setTextFormat(Qt::PlainText);
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

void MainWindow::Form_Load()
{
    runHandler([this] {
        openCfg();
        m_startupComplete = false;
        openBook();
        m_startupComplete = true;
        m_settingsChanged = false;
    });
}

void MainWindow::setSettings(const Settings &settings)
{
    m_settings = settings;
    m_ui->txtTable->setText(settings.table);
}

QString MainWindow::statusText() const
{
    return m_ui->lblStatus->text();
}

void MainWindow::setStatusText(const QString &text)
{
    m_ui->lblStatus->setText(text);
}

void MainWindow::openCfg()
{
    m_cfgDoc.load(kConfigFileName);
    Settings loaded = m_settings;
    m_cfgDoc.readInto(loaded);
    setSettings(loaded);
}

ConfigSaveResult MainWindow::saveCfg()
{
    txtTable_LostFocus();
    return m_cfgDoc.save(m_settings, kConfigFileName);
}

void MainWindow::cmdOpen_Click()
{
    setStatusText({});
    openBook();
}

void MainWindow::openBook()
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
    m_ui->lstSheetList->clear();
    m_ui->Text1->setText({});
    m_ui->lstSheetList->addItems(m_workbook->sheetNames());
    if (m_ui->lstSheetList->count() == 0) {
        m_prompter.ask(this, {MessageIcon::Information, QStringLiteral("通知メッセージ"),
                              QStringLiteral("利用できるシートがありません"), MessageButtons::Ok});
        return;
    }
    m_ui->lstSheetList->setCurrentRow(0);
}

void MainWindow::saveXml()
{
    setStatusText({});
    if (trimSpaces(m_ui->Text1->text()).isEmpty()) {
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
    const QString error = saveDocument(*chosen, m_ui->Text1->text(), m_settings.charset);
    if (!error.isEmpty())
        reportError(error);
}

void MainWindow::cmdPost_Click()
{
    txtTable_LostFocus();
    setStatusText(sendInsert(Inet1, m_settings, m_ui->Text1->text()));
}

void MainWindow::cmdStatus_Click()
{
    dlgStatus dialog(this);
    dialog.setStatusText(statusText());
    dialog.exec();
}

void MainWindow::Inet1_StateChanged(int state)
{
    if (const std::optional<QString> text = statusTextForState(state, Inet1))
        setStatusText(*text);
}

void MainWindow::showNetwork()
{
    setStatusText({});
    dlgNetwork dialog(this);
    editSettings(dialog);
}

// The document follows the settings: the selected worksheet is converted again however the dialog
// was closed.
void MainWindow::showXmlSetting()
{
    {
        dlgSetting dialog(this);
        editSettings(dialog);
    }
    lstSheetList_Click();
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
        SubChange(true);
}

void MainWindow::saveSetting_Click()
{
    const ConfigSaveResult result = saveCfg();
    if (!result.ok) {
        reportError(result.errorString);
        return;
    }
    m_settingsChanged = false;
}

void MainWindow::About_Click()
{
    const std::unique_ptr<Registry> registry = makeSystemRegistry();
    QtProgramLauncher launcher;
    frmAbout about(m_prompter, *registry, launcher, this);
    about.exec();
}

void MainWindow::lstSheetList_Click()
{
    const int index = m_ui->lstSheetList->currentRow();
    if (index < 0 || !m_workbook)
        return;
    QString error;
    const std::optional<xls::SheetTable> table = m_workbook->readSheet(index, &error);
    if (!table) {
        reportError(error);
        return;
    }
    m_ui->Text1->setText(buildDocument(*table, m_settings));
}

void MainWindow::txtTable_Change()
{
    m_settings.table = m_ui->txtTable->text();
    m_settingsChanged = true;
}

// A blank table name is restored when the field loses the focus, and also before any command that
// reads it: an access key presses a button without taking the focus from the field.
void MainWindow::txtTable_LostFocus()
{
    const QString restored = restoreBlankName(m_ui->txtTable->text(), Settings{}.table);
    if (restored != m_ui->txtTable->text())
        m_ui->txtTable->setText(restored);
}

void MainWindow::Form_Unload()
{
    txtTable_LostFocus();
    if (!m_settingsChanged)
        return;
    const MessageAnswer answer = m_prompter.ask(
        this, {MessageIcon::None, QStringLiteral("設定の保存"), QStringLiteral("設定を保存しますか？"),
               MessageButtons::YesNo});
    if (answer != MessageAnswer::Yes)
        return;
    const ConfigSaveResult result = saveCfg();
    if (!result.ok)
        reportError(result.errorString);
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    runHandler([this] { Form_Unload(); });
    event->accept();
}

bool MainWindow::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_ui->Text1 && event->type() == QEvent::FocusIn) {
        m_ui->lstSheetList->setFocus(Qt::OtherFocusReason);
    } else if (watched == m_ui->txtTable && event->type() == QEvent::FocusOut) {
        runHandler([this] { txtTable_LostFocus(); });
    }
    return QMainWindow::eventFilter(watched, event);
}

} // namespace tessaly
