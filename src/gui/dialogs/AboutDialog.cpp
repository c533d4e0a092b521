#include "gui/dialogs/AboutDialog.h"

#include "gui/ModalDialogs.h"
#include "gui/SystemInfo.h"
#include "gui/dialogs/DialogFlags.h"

#include "ui_AboutDialog.h"

#include <QStyle>

namespace tessaly {

namespace {

// The application's title, the main window's caption.
const QString kApplicationTitle = QStringLiteral("Tessaly");

} // namespace

frmAbout::frmAbout(Prompter &prompter, Registry &registry, ProgramLauncher &launcher, QWidget *owner)
    : QDialog(owner, kFixedDialogFlags)
    , m_ui(std::make_unique<Ui::frmAbout>())
    , m_prompter(prompter)
    , m_registry(registry)
    , m_launcher(launcher)
{
    m_ui->setupUi(this);
    setFixedSize(size());
    m_ui->picIcon->setPixmap(style()->standardIcon(QStyle::SP_ComputerIcon).pixmap(m_ui->picIcon->size()));
    connect(m_ui->cmdOK, &QPushButton::clicked, this, &QDialog::accept);
    connect(m_ui->cmdSysInfo, &QPushButton::clicked, this, &frmAbout::cmdSysInfo_Click);
    m_ui->cmdOK->setFocus(Qt::OtherFocusReason);
    Form_Load();
}

frmAbout::~frmAbout() = default;

void frmAbout::Form_Load()
{
    setWindowTitle(kApplicationTitle + QStringLiteral("のﾊﾞｰｼﾞｮﾝ情報"));
    m_ui->lblVersion->setText(QStringLiteral("ﾊﾞｰｼﾞｮﾝ " TESSALY_VERSION));
}

void frmAbout::cmdSysInfo_Click()
{
    if (!StartSysInfo(m_registry, m_launcher))
        m_prompter.ask(this, {MessageIcon::None, kApplicationTitle, QStringLiteral("現時点ではｼｽﾃﾑ情報を使用できません"),
                              MessageButtons::Ok});
}

} // namespace tessaly
