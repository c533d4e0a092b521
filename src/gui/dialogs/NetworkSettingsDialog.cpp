#include "gui/dialogs/NetworkSettingsDialog.h"

#include "core/settings/Settings.h"

#include "ui_NetworkSettingsDialog.h"

namespace tessaly {

namespace {

// The upper arrow raises the value: the bar is drawn with its maximum at the top, and every step
// an arrow or a click in the track is about to take goes the other way; the wheel turned up raises
// it too. The step is taken from the value, since the position the bar proposes is already held
// within the range.
void makeUpperArrowRaise(QScrollBar *bar)
{
    bar->setInvertedAppearance(true);
    bar->setInvertedControls(false);
    QObject::connect(bar, &QAbstractSlider::actionTriggered, bar, [bar](int action) {
        const bool single = action == QAbstractSlider::SliderSingleStepAdd || action == QAbstractSlider::SliderSingleStepSub;
        const int step = single ? bar->singleStep() : bar->pageStep();
        switch (action) {
        case QAbstractSlider::SliderSingleStepAdd:
        case QAbstractSlider::SliderPageStepAdd:
            bar->setSliderPosition(bar->value() - step);
            break;
        case QAbstractSlider::SliderSingleStepSub:
        case QAbstractSlider::SliderPageStepSub:
            bar->setSliderPosition(bar->value() + step);
            break;
        default:
            break;
        }
    });
}

} // namespace

NetworkSettingsDialog::NetworkSettingsDialog(QWidget *owner)
    : SettingsDialog(owner)
    , m_ui(std::make_unique<Ui::NetworkSettingsDialog>())
{
    m_ui->setupUi(this);
    setUpButtons(m_ui->okButton, m_ui->cancelButton);

    const Settings defaults;
    m_ui->urlEdit->setText(defaults.url);
    m_ui->timeoutEdit->setText(defaults.timeout);
    m_ui->timeoutSpin->setValue(*timeoutSeconds(defaults.timeout));
    makeUpperArrowRaise(m_ui->timeoutSpin);

    QComboBox *protocol = m_ui->protocolCombo;
    // The list follows kProtocolNames: entry 0, the default, also stands for no selection.
    for (const ProtocolName &name : kProtocolNames)
        protocol->addItem(name.label.toString());
    protocol->setCurrentIndex(-1);
    protocol->setEditText(kProtocolNames.front().label.toString());
    // The box offers no completion, and a typed text never selects an entry: Qt would select the
    // entry matching the text when editing ends, so that reaction of the box is switched off.
    protocol->setCompleter(nullptr);
    disconnect(protocol->lineEdit(), &QLineEdit::editingFinished, protocol, nullptr);
    connect(protocol, &QComboBox::activated, this, &NetworkSettingsDialog::selectProtocolEntry);
    connect(protocol->lineEdit(), &QLineEdit::textEdited, this, [this] { m_protocolEntry = -1; });

    connect(m_ui->urlEdit, &QLineEdit::textChanged, this, &NetworkSettingsDialog::onUrlEdited);
    connect(m_ui->timeoutEdit, &QLineEdit::textChanged, this, &NetworkSettingsDialog::keepTimeoutInRange);
    connect(m_ui->timeoutSpin, &QScrollBar::valueChanged, this, &NetworkSettingsDialog::showSpinTimeout);
    connect(protocol, &QComboBox::editTextChanged, this, &NetworkSettingsDialog::markChanged);
    for (QLineEdit *field : {m_ui->proxyEdit, m_ui->userNameEdit, m_ui->passwordEdit})
        connect(field, &QLineEdit::textChanged, this, &NetworkSettingsDialog::markChanged);
    connect(m_ui->showPasswordCheck, &QCheckBox::toggled, this,
            [this](bool shown) { m_ui->passwordEdit->setEchoMode(shown ? QLineEdit::Normal : QLineEdit::Password); });
}

NetworkSettingsDialog::~NetworkSettingsDialog() = default;

void NetworkSettingsDialog::copyIn(const Settings &settings)
{
    m_ui->urlEdit->setText(settings.url);
    for (int entry = 0; entry < std::ssize(kProtocolNames); ++entry) {
        if (settings.protocol == kProtocolNames[entry].setting) {
            selectProtocolEntry(entry);
            break;
        }
    }
    m_ui->proxyEdit->setText(settings.proxy);
    m_ui->userNameEdit->setText(settings.user);
    m_ui->passwordEdit->setText(settings.password);
    m_ui->timeoutEdit->setText(settings.timeout);
}

void NetworkSettingsDialog::writeBack(Settings &settings) const
{
    settings.url = m_ui->urlEdit->text();
    settings.protocol = kProtocolNames[m_protocolEntry < 0 ? 0 : m_protocolEntry].setting.toString();
    settings.proxy = m_ui->proxyEdit->text();
    settings.user = m_ui->userNameEdit->text();
    settings.password = m_ui->passwordEdit->text();
    settings.timeout = m_ui->timeoutEdit->text();
}

bool NetworkSettingsDialog::acceptable()
{
    const Result<int> timeout = timeoutSeconds(m_ui->timeoutEdit->text());
    if (timeout)
        return true;
    m_ui->statusLabel->setText(timeout.failure().message);
    m_ui->timeoutEdit->setFocus(Qt::OtherFocusReason);
    m_ui->timeoutEdit->selectAll();
    return false;
}

void NetworkSettingsDialog::selectProtocolEntry(int entry)
{
    m_protocolEntry = entry;
    m_ui->protocolCombo->setCurrentIndex(entry);
}

void NetworkSettingsDialog::onUrlEdited()
{
    markChanged();
    showUrlHint();
}

// The status line asks for a URL while the URL field is blank, and is empty otherwise.
void NetworkSettingsDialog::showUrlHint()
{
    m_ui->statusLabel->clear();
    if (trimSpaces(m_ui->urlEdit->text()).isEmpty())
        m_ui->statusLabel->setText(QStringLiteral("サブレットのURLを入力して下さい。"));
}

// Values below the range wrap to its top and values above it to its bottom. Each write here is a
// change of the field and runs this rule again, nested, before the outer run goes on; setting the
// spin control to another value writes its digits back through showSpinTimeout. A text without
// a numeric value (say while the user retypes the field) is left as typed, the spin control where
// it was.
void NetworkSettingsDialog::keepTimeoutInRange()
{
    const auto typed = [this] { return timeoutNumber(m_ui->timeoutEdit->text()); };
    if (const std::optional<float> value = typed(); value && *value < kLowestTypedTimeout)
        m_ui->timeoutEdit->setText(QString::number(kHighestTypedTimeout));
    if (const std::optional<float> value = typed(); value && *value > kHighestTypedTimeout)
        m_ui->timeoutEdit->setText(QString::number(kLowestTypedTimeout));
    if (const Result<int> seconds = timeoutSeconds(m_ui->timeoutEdit->text()))
        m_ui->timeoutSpin->setValue(*seconds);
    markChanged();
    // The refusal of OK concerned the old value.
    if (m_ui->statusLabel->text() == invalidTimeoutText())
        showUrlHint();
}

void NetworkSettingsDialog::showSpinTimeout()
{
    m_ui->timeoutEdit->setText(QString::number(m_ui->timeoutSpin->value()));
}

} // namespace tessaly
