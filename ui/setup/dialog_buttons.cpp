#include "ui/setup/dialog_buttons.h"

#include <QDialog>
#include <QHBoxLayout>
#include <QPushButton>
#include <QVBoxLayout>

namespace varnell {

QPushButton* PlainButton(const char* text, QWidget* parent)
{
    auto* b = new QPushButton(QString::fromLatin1(text), parent);
    b->setAutoDefault(false);
    return b;
}

namespace {

EditDialogButtons EditButtonsBelow(QDialog* dialog, QVBoxLayout* column)
{
    EditDialogButtons made{new QPushButton(QStringLiteral("&Apply"), dialog), PlainButton("&Cancel", dialog)};
    made.apply->setDefault(true);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(made.apply);
    buttons->addWidget(made.cancel);
    column->addLayout(buttons);
    // accept is virtual: the dialog's own check runs.
    QObject::connect(made.apply, &QPushButton::clicked, dialog, &QDialog::accept);
    QObject::connect(made.cancel, &QPushButton::clicked, dialog, &QDialog::reject);
    return made;
}

} // namespace

EditDialogButtons LayOutEditDialog(QDialog* dialog, QWidget* body)
{
    auto* column = new QVBoxLayout(dialog);
    column->addWidget(body);
    return EditButtonsBelow(dialog, column);
}

EditDialogButtons LayOutEditDialog(QDialog* dialog, QLayout* body)
{
    auto* column = new QVBoxLayout(dialog);
    column->addLayout(body);
    return EditButtonsBelow(dialog, column);
}

} // namespace varnell
