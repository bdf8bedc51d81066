#include "ui/items/conditions_group.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>

namespace varnell {

namespace {

QString Text(const std::string& s) { return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size())); }

} // namespace

ConditionsGroup::ConditionsGroup(QWidget* parent) : QGroupBox(QStringLiteral("Conditions"), parent)
{
    mode = new QComboBox(this);
    // The entries' data are the field texts; the first means no expected values.
    mode->addItem(QStringLiteral("(none)"), QString());
    for (const ExpectMode m : {ExpectMode::Equals, ExpectMode::Contains, ExpectMode::Excludes, ExpectMode::Matches})
        mode->addItem(QString::fromLatin1(ExpectModeName(m)), QString::fromLatin1(ExpectModeName(m)));
    values = new QPlainTextEdit(this);
    values->setTabChangesFocus(true);
    values->setPlaceholderText(QStringLiteral("one value a line, as dig shows it: 0 issue \"ca.example\""));
    values->setFixedHeight(values->fontMetrics().lineSpacing() * 3 + 10);
    rcode = new QComboBox(this);
    rcode->addItem(QStringLiteral("(answer)"), QString());
    rcode->addItem(QStringLiteral("NOERROR"), QStringLiteral("NOERROR"));
    rcode->addItem(QStringLiteral("NXDOMAIN"), QStringLiteral("NXDOMAIN"));
    validated = new QCheckBox(QStringLiteral("Answer validated (DNSSEC)"), this);
    signatureWarning = new QCheckBox(QStringLiteral("Signature warning"), this);
    signatureDays = new QSpinBox(this);
    signatureDays->setRange(1, static_cast<int>(kMaxSigWarnDays));
    signatureDays->setValue(7);
    signatureDays->setSuffix(QStringLiteral(" days"));
    signatureDays->setEnabled(false);
    connect(signatureWarning, &QCheckBox::toggled, signatureDays, &QWidget::setEnabled);
    const auto valuesUsed = [this] { values->setEnabled(mode->currentIndex() != 0); };
    connect(mode, &QComboBox::currentIndexChanged, this, valuesUsed);
    valuesUsed();

    auto* grid = new QGridLayout(this);
    grid->addWidget(new QLabel(QStringLiteral("Expect :"), this), 0, 0);
    grid->addWidget(mode, 0, 1);
    grid->addWidget(new QLabel(QStringLiteral("Response :"), this), 0, 2);
    grid->addWidget(rcode, 0, 3);
    grid->addWidget(new QLabel(QStringLiteral("Values :"), this), 1, 0, Qt::AlignTop);
    grid->addWidget(values, 1, 1, 1, 3);
    auto* dnssec = new QHBoxLayout;
    dnssec->addWidget(validated);
    dnssec->addStretch(1);
    dnssec->addWidget(signatureWarning);
    dnssec->addWidget(signatureDays);
    grid->addLayout(dnssec, 2, 0, 1, 4);
    grid->setColumnStretch(1, 1);
    grid->setColumnStretch(3, 1);
}

void ConditionsGroup::SetFields(const ConditionFields& fields)
{
    const int m = mode->findData(Text(fields.mode));
    mode->setCurrentIndex(m < 0 ? 0 : m);
    values->setPlainText(Text(fields.values));
    const int r = rcode->findData(Text(fields.rcode));
    rcode->setCurrentIndex(r < 0 ? 0 : r);
    validated->setChecked(!fields.dnssec.empty());
    signatureWarning->setChecked(!fields.sigWarnDays.empty());
    if (!fields.sigWarnDays.empty())
        signatureDays->setValue(Text(fields.sigWarnDays).toInt());
}

ConditionFields ConditionsGroup::Fields() const
{
    ConditionFields f;
    f.mode = mode->currentData().toString().toStdString();
    // Values stay as typed while no mode uses them; only a chosen mode reads them.
    if (!f.mode.empty())
        f.values = values->toPlainText().toStdString();
    f.rcode = rcode->currentData().toString().toStdString();
    f.dnssec = validated->isChecked() ? "validated" : "";
    f.sigWarnDays = signatureWarning->isChecked() ? std::to_string(signatureDays->value()) : "";
    return f;
}

} // namespace varnell
