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

AboutDialog::AboutDialog(Prompter &prompter, Registry &registry, ProgramLauncher &launcher, QWidget *owner)
    : QDialog(owner, kFixedDialogFlags)
    , m_ui(std::make_unique<Ui::AboutDialog>())
    , m_prompter(prompter)
    , m_registry(registry)
    , m_launcher(launcher)
{
    m_ui->setupUi(this);
    setFixedSize(size());
    m_ui->iconLabel->setPixmap(style()->standardIcon(QStyle::SP_ComputerIcon).pixmap(m_ui->iconLabel->size()));
    connect(m_ui->okButton, &QPushButton::clicked, this, &QDialog::accept);
    connect(m_ui->systemInfoButton, &QPushButton::clicked, this, &AboutDialog::onSystemInfoClicked);
    m_ui->okButton->setFocus(Qt::OtherFocusReason);
    showVersion();
}

AboutDialog::~AboutDialog() = default;

void AboutDialog::showVersion()
{
    setWindowTitle(kApplicationTitle + QStringLiteral("のﾊﾞｰｼﾞｮﾝ情報"));
    m_ui->versionLabel->setText(QStringLiteral("ﾊﾞｰｼﾞｮﾝ " TESSALY_VERSION));
}

void AboutDialog::onSystemInfoClicked()
{
    if (!launchSystemInfo(m_registry, m_launcher))
        m_prompter.ask(this, {MessageIcon::None, kApplicationTitle, QStringLiteral("現時点ではｼｽﾃﾑ情報を使用できません"),
                              MessageButtons::Ok});
}

} // namespace tessaly
