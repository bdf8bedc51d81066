#include "ui/platform/edit_controls.h"

#include <QEvent>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QRegularExpressionValidator>
#include <QVBoxLayout>

#include <cctype>
#include <cstring>
#include <limits>

namespace varnell {

namespace {

// How much of a spin edit's field an arrow reads.
constexpr int kSpinTextLimit = 254;

} // namespace

std::int32_t DialogNumber(const std::string& text)
{
    std::size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i])))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        negative = text[i++] == '-';
    std::int64_t value = 0;
    constexpr std::int64_t kMax = std::numeric_limits<std::int32_t>::max();
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > kMax + 1)
            value = kMax + 1; // saturate, and keep reading the digits
    }
    if (negative)
        return static_cast<std::int32_t>(-value);
    return static_cast<std::int32_t>(value > kMax ? kMax : value);
}

// --- spin edit ---------------------------------------------------------------

SpinEdit::SpinEdit(QWidget* parent)
    : QWidget(parent), edit_(new QLineEdit(this)), up_(new QToolButton(this)), down_(new QToolButton(this))
{
    up_->setArrowType(Qt::UpArrow);
    down_->setArrowType(Qt::DownArrow);
    for (QToolButton* b : {up_, down_}) {
        b->setAutoRepeat(true);
        b->setFocusPolicy(Qt::NoFocus);
        b->setFixedSize(16, 11);
    }
    auto* arrows = new QVBoxLayout;
    arrows->setContentsMargins(0, 0, 0, 0);
    arrows->setSpacing(0);
    arrows->addWidget(up_);
    arrows->addWidget(down_);
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(1);
    row->addWidget(edit_);
    row->addLayout(arrows);
    connect(up_, &QToolButton::clicked, this, [this] { Step(1); });
    connect(down_, &QToolButton::clicked, this, [this] { Step(-1); });
}

void SpinEdit::Step(int delta)
{
    std::int64_t value = std::int64_t{DialogNumber(edit_->text().left(kSpinTextLimit).toStdString())} + delta;
    if (value < 1)
        value = 1;
    if (value > std::numeric_limits<std::int32_t>::max())
        value = std::numeric_limits<std::int32_t>::max();
    edit_->setText(QString::number(value));
}

// --- address edit ------------------------------------------------------------

AddressEdit::AddressEdit(QWidget* parent) : QWidget(parent)
{
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(0);
    const auto* validator = new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]{0,3}")), this);
    for (std::size_t i = 0; i < octets_.size(); ++i) {
        if (i > 0)
            row->addWidget(new QLabel(QStringLiteral("."), this));
        auto* octet = new QLineEdit(this);
        octet->setValidator(validator);
        octet->setMaxLength(3);
        octet->setAlignment(Qt::AlignCenter);
        octet->setFixedWidth(octet->fontMetrics().horizontalAdvance(QStringLiteral("0000")) + 8);
        octet->installEventFilter(this);
        octets_[i] = octet;
        row->addWidget(octet);
        if (i + 1 < octets_.size())
            connect(octet, &QLineEdit::textEdited, this, [this, i](const QString& text) {
                if (text.size() == 3)
                    octets_[i + 1]->setFocus(Qt::TabFocusReason);
            });
    }
    row->addStretch(1);
}

bool AddressEdit::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() != QEvent::KeyPress)
        return QWidget::eventFilter(watched, event);
    const auto* key = static_cast<QKeyEvent*>(event);
    for (std::size_t i = 0; i < octets_.size(); ++i) {
        if (watched != octets_[i])
            continue;
        // "." moves on to the next octet; Backspace in an empty one moves back.
        if (key->text() == QStringLiteral(".") && i + 1 < octets_.size()) {
            octets_[i + 1]->setFocus(Qt::TabFocusReason);
            octets_[i + 1]->selectAll();
            return true;
        }
        if (key->key() == Qt::Key_Backspace && octets_[i]->text().isEmpty() && i > 0) {
            octets_[i - 1]->setFocus(Qt::BacktabFocusReason);
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

void AddressEdit::SetAddress(std::uint32_t addrBE)
{
    std::uint8_t o[4];
    std::memcpy(o, &addrBE, 4); // network byte order: first octet first
    for (std::size_t i = 0; i < octets_.size(); ++i)
        octets_[i]->setText(QString::number(o[i]));
}

void AddressEdit::SetText(const QString& dotted)
{
    const QStringList parts = dotted.split(QLatin1Char('.'));
    for (std::size_t i = 0; i < octets_.size(); ++i)
        octets_[i]->setText(static_cast<qsizetype>(i) < parts.size() ? parts[static_cast<qsizetype>(i)].left(3)
                                                                     : QString());
}

QString AddressEdit::Text() const
{
    QStringList parts;
    for (const QLineEdit* octet : octets_)
        parts << QString::number(DialogNumber(octet->text().toStdString()));
    return parts.join(QLatin1Char('.'));
}

} // namespace varnell
