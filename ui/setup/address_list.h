// The pages' address lists: one column of texts with Add and Delete buttons
// beside it.
#pragma once

#include <QString>
#include <QStringList>

class QHBoxLayout;
class QPushButton;
class QTreeWidget;
class QWidget;

namespace varnell {

// One column, whole-row selection, no tree lines. An empty title hides the header.
QTreeWidget* MakeOneColumnList(QWidget* parent, const QString& title, int columnWidth);
QStringList ListTexts(const QTreeWidget* list);
// The first selected row, or -1.
int SelectedRow(const QTreeWidget* list);
void AppendRow(QTreeWidget* list, const QString& text);
// Removes the selected row, if any.
void DeleteSelectedRow(QTreeWidget* list);
// The list with its Add and Delete buttons stacked at its right; extra, when
// given, goes to the bottom of the stack.
QHBoxLayout* ListWithButtons(QTreeWidget* list, QPushButton* add, QPushButton* remove, QPushButton* extra = nullptr);

} // namespace varnell
