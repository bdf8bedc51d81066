#include "ui/setup/address_list.h"

#include <QHBoxLayout>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace varnell {

QTreeWidget* MakeOneColumnList(QWidget* parent, const QString& title, int columnWidth)
{
    auto* list = new QTreeWidget(parent);
    list->setColumnCount(1);
    list->setRootIsDecorated(false);
    list->setItemsExpandable(false);
    list->setSelectionBehavior(QAbstractItemView::SelectRows);
    list->setSelectionMode(QAbstractItemView::SingleSelection);
    list->setHeaderLabels({title});
    list->setHeaderHidden(title.isEmpty());
    if (columnWidth > 0)
        list->setColumnWidth(0, columnWidth);
    return list;
}

QStringList ListTexts(const QTreeWidget* list)
{
    QStringList texts;
    for (int i = 0; i < list->topLevelItemCount(); ++i)
        texts << list->topLevelItem(i)->text(0);
    return texts;
}

int SelectedRow(const QTreeWidget* list)
{
    int first = -1;
    for (const QTreeWidgetItem* item : list->selectedItems()) {
        const int row = list->indexOfTopLevelItem(const_cast<QTreeWidgetItem*>(item));
        if (row >= 0 && (first < 0 || row < first))
            first = row;
    }
    return first;
}

void AppendRow(QTreeWidget* list, const QString& text) { list->addTopLevelItem(new QTreeWidgetItem({text})); }

void DeleteSelectedRow(QTreeWidget* list)
{
    const int row = SelectedRow(list);
    if (row >= 0)
        delete list->takeTopLevelItem(row);
}

QHBoxLayout* ListWithButtons(QTreeWidget* list, QPushButton* add, QPushButton* remove, QPushButton* extra)
{
    auto* buttons = new QVBoxLayout;
    buttons->addWidget(add);
    buttons->addWidget(remove);
    buttons->addStretch(1);
    if (extra != nullptr)
        buttons->addWidget(extra);
    auto* row = new QHBoxLayout;
    row->addWidget(list, 1);
    row->addLayout(buttons);
    return row;
}

} // namespace varnell
