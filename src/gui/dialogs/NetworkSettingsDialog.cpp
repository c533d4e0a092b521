#include "gui/dialogs/NetworkSettingsDialog.h"

#include "ui_NetworkSettingsDialog.h"

#include <array>
#include <cmath>

namespace tessaly {

namespace {

struct ProtocolEntry {
    QStringView setting;
    QStringView text;
};

// The protocol list, in entry order; entry 0 also stands for no selection.
constexpr std::array<ProtocolEntry, 3> kProtocolEntries{{
    {u"icDefault", u"デフォルト"},
    {u"icHTTP", u"HTTP"},
    {u"icHTTPS", u"HTTPS"},
}};

constexpr float kLowestTimeout = 1;
constexpr float kHighestTimeout = 999;

// The upper arrow raises the value: the bar is drawn with its maximum at the top, and every step
// an arrow or a click in the track is about to take goes the other way; the wheel turned up raises
// it too. The step is taken from the value, since the position the bar proposes is already held
// within the range.
void makeUpperArrowRaise(QScrollBar *bar)
{
    bar->setInvertedAppearance(true);
    bar->setInvertedControls(false);
    QObject::connect(bar, &QAbstractSlider::actionTriggered, bar, [bar](int action) {
        const bool single =
            action == QAbstractSlider::SliderSingleStepAdd || action == QAbstractSlider::SliderSingleStepSub;
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

dlgNetwork::dlgNetwork(QWidget *owner)
    : SettingsDialog(owner)
    , m_ui(std::make_unique<Ui::dlgNetwork>())
{
    m_ui->setupUi(this);
    setUpButtons(m_ui->OKButton, m_ui->CancelButton);

    const Settings defaults;
    m_ui->txtURL->setText(defaults.url);
    m_ui->txtTimeout->setText(defaults.timeout);
    m_ui->VSclTimeout->setValue(defaults.timeout.toInt());
    makeUpperArrowRaise(m_ui->VSclTimeout);

    QComboBox *protocol = m_ui->cboProtocol;
    for (const ProtocolEntry &entry : kProtocolEntries)
        protocol->addItem(entry.text.toString());
    protocol->setCurrentIndex(-1);
    protocol->setEditText(kProtocolEntries.front().text.toString());
    // The box offers no completion, and a typed text never selects an entry: Qt would select the
    // entry matching the text when editing ends, so that reaction of the box is switched off.
    protocol->setCompleter(nullptr);
    disconnect(protocol->lineEdit(), &QLineEdit::editingFinished, protocol, nullptr);
    connect(protocol, &QComboBox::activated, this, &dlgNetwork::selectProtocolEntry);
    connect(protocol->lineEdit(), &QLineEdit::textEdited, this, [this] { m_protocolEntry = -1; });

    connect(m_ui->txtURL, &QLineEdit::textChanged, this, &dlgNetwork::txtURL_Change);
    connect(m_ui->txtTimeout, &QLineEdit::textChanged, this, &dlgNetwork::txtTimeout_Change);
    connect(m_ui->VSclTimeout, &QScrollBar::valueChanged, this, &dlgNetwork::VSclTimeout_Change);
    connect(protocol, &QComboBox::editTextChanged, this, &dlgNetwork::markChanged);
    for (QLineEdit *field : {m_ui->txtProxy, m_ui->txtUserName, m_ui->txtPassword})
        connect(field, &QLineEdit::textChanged, this, &dlgNetwork::markChanged);
}

dlgNetwork::~dlgNetwork() = default;

void dlgNetwork::copyIn(const Settings &settings)
{
    m_ui->txtURL->setText(settings.url);
    for (int entry = 0; entry < std::ssize(kProtocolEntries); ++entry) {
        if (settings.protocol == kProtocolEntries[entry].setting) {
            selectProtocolEntry(entry);
            break;
        }
    }
    m_ui->txtProxy->setText(settings.proxy);
    m_ui->txtUserName->setText(settings.user);
    m_ui->txtPassword->setText(settings.password);
    m_ui->txtTimeout->setText(settings.timeout);
}

void dlgNetwork::writeBack(Settings &settings) const
{
    settings.url = m_ui->txtURL->text();
    settings.protocol = kProtocolEntries[m_protocolEntry < 0 ? 0 : m_protocolEntry].setting.toString();
    settings.proxy = m_ui->txtProxy->text();
    settings.user = m_ui->txtUserName->text();
    settings.password = m_ui->txtPassword->text();
    settings.timeout = m_ui->txtTimeout->text();
}

void dlgNetwork::selectProtocolEntry(int entry)
{
    m_protocolEntry = entry;
    m_ui->cboProtocol->setCurrentIndex(entry);
}

void dlgNetwork::txtURL_Change()
{
    markChanged();
    m_ui->lblStatus->clear();
    if (trimSpaces(m_ui->txtURL->text()).isEmpty())
        m_ui->lblStatus->setText(QStringLiteral("サブレットのURLを入力して下さい。"));
}

// The time-out text read as a single-precision number; nothing when it has no numeric value.
std::optional<float> dlgNetwork::timeoutValue() const
{
    bool ok = false;
    const float value = m_ui->txtTimeout->text().toFloat(&ok);
    if (!ok || !std::isfinite(value))
        return std::nullopt;
    return value;
}

// Values below the range wrap to its top and values above it to its bottom. Each write here is a
// change of the field and runs this rule again, nested, before the outer run goes on; setting the
// spin control to another value writes its digits back through VSclTimeout_Change. A text without
// a numeric value (say while the user retypes the field) is left as typed, the spin control where
// it was.
void dlgNetwork::txtTimeout_Change()
{
    if (const std::optional<float> value = timeoutValue(); value && *value < kLowestTimeout)
        m_ui->txtTimeout->setText(QString::number(kHighestTimeout));
    if (const std::optional<float> value = timeoutValue(); value && *value > kHighestTimeout)
        m_ui->txtTimeout->setText(QString::number(kLowestTimeout));
    // nearbyint rounds to the nearest whole number, a half to the even neighbour: 2.5 gives 2.
    if (const std::optional<float> value = timeoutValue())
        m_ui->VSclTimeout->setValue(static_cast<int>(std::nearbyint(*value)));
    markChanged();
}

void dlgNetwork::VSclTimeout_Change()
{
    m_ui->txtTimeout->setText(QString::number(m_ui->VSclTimeout->value()));
}

} // namespace tessaly
