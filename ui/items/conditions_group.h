// The item dialog's "Conditions" group: what the item expects of its answer
// (items/answer_conditions.h), beneath the dialog's other controls. It reads
// and writes the fields as the CSV and the command line take them, so the one
// entry check judges them whichever way they came in.
#pragma once

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QPlainTextEdit>
#include <QSpinBox>

#include "items/answer_conditions.h"

namespace varnell {

class ConditionsGroup : public QGroupBox {
    Q_OBJECT
public:
    explicit ConditionsGroup(QWidget* parent = nullptr);

    void SetFields(const ConditionFields& fields);
    ConditionFields Fields() const;

    QComboBox* mode = nullptr;        // "(none)", "equals", "contains", "excludes", "matches"
    QPlainTextEdit* values = nullptr; // one value a line; a pattern for "matches"
    QComboBox* rcode = nullptr;       // "(answer)", "NOERROR", "NXDOMAIN"
    QCheckBox* validated = nullptr;
    QCheckBox* signatureWarning = nullptr;
    QSpinBox* signatureDays = nullptr;
};

} // namespace varnell
