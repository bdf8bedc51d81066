#include "ui/items/item_csv_commands.h"

#include <QFile>
#include <QSaveFile>

#include <algorithm>
#include <string>
#include <vector>

#include "items/item_table.h"
#include "monitor/item_csv.h"
#include "ui/items/dns_item_view.h"
#include "ui/items/list_ctrl.h"
#include "ui/platform/message_box.h"
#include "ui/platform/file_dialog.h"
#include "ui/platform/qt_text.h"

namespace varnell {

namespace {

constexpr const char* kCsvFilter = "CSV Files (*.csv)|*.csv|All Files (*.*)|*.*||";
// More lines than this would not fit on the screen in one message box.
constexpr std::size_t kListedProblems = 20;

QString ProblemList(const std::vector<CsvProblem>& problems)
{
    QString text = QStringLiteral("Nothing was imported:");
    for (std::size_t i = 0; i < problems.size() && i < kListedProblems; ++i)
        text += QStringLiteral("\nLine %1: %2").arg(problems[i].line).arg(ToQt(problems[i].reason));
    if (problems.size() > kListedProblems)
        text += QStringLiteral("\n... and %1 more.").arg(problems.size() - kListedProblems);
    return text;
}

} // namespace

void ImportItemsFromFile(QWidget* parent, CDnsItemView* view)
{
    FileRequest request;
    request.filter = kCsvFilter;
    const QString path = ChooseFile(parent, request);
    if (path.isEmpty())
        return;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        ShowMessageBox(parent, QStringLiteral("Can't open %1 !").arg(path));
        return;
    }
    // Anything larger is no item list, and reading it all would stall the window.
    if (std::string tooLarge = CsvSizeProblem(static_cast<std::size_t>(std::max<qint64>(file.size(), 0)));
        !tooLarge.empty()) {
        ShowMessageBox(parent, QStringLiteral("%1: %2").arg(path, ToQt(tooLarge)));
        return;
    }
    const QByteArray bytes = file.readAll();
    const std::uint32_t firstNewRow = LockItems()->rowCount;
    std::vector<CsvProblem> problems;
    if (ImportItemsCsv(std::string_view(bytes.constData(), static_cast<std::size_t>(bytes.size())), problems) < 0) {
        ShowMessageBox(parent, ProblemList(problems));
        return;
    }
    if (view != nullptr)
        for (std::uint32_t r = firstNewRow; r < LockItems()->rowCount; ++r)
            view->List()->InsertItemRow(LockItems()->items[LockItems()->rowToSlot[r]]);
}

void ExportItemsToFile(QWidget* parent)
{
    FileRequest request;
    request.save = true;
    request.defaultSuffix = QStringLiteral("csv");
    request.filter = kCsvFilter;
    const QString path = ChooseFile(parent, request);
    if (path.isEmpty())
        return;
    const std::string text = ExportItemsCsv();
    if (std::string tooLarge = CsvSizeProblem(text.size()); !tooLarge.empty()) {
        ShowMessageBox(parent, QStringLiteral("Nothing was exported: %1.").arg(ToQt(tooLarge)));
        return;
    }
    // Written aside and renamed over the old file, so a failed write never
    // leaves half an item list behind.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(text.data(), static_cast<qint64>(text.size())) < 0 ||
        !file.commit())
        ShowMessageBox(parent, QStringLiteral("Can't write %1 !").arg(path));
}

} // namespace varnell
