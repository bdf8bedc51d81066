// File > Import Items... and Export Items...: the item table to and from a CSV
// file, through the same code the command line uses (monitor/item_csv.h).
#pragma once

class QWidget;

namespace varnell {

class CDnsItemView;

// Asks for a file and adds its items, all or none. New items get their rows in
// view; when a row is bad a message lists each bad row's line and reason.
void ImportItemsFromFile(QWidget* parent, CDnsItemView* view);
// Asks for a file name and writes every item to it.
void ExportItemsToFile(QWidget* parent);

} // namespace varnell
