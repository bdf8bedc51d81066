// The focused row's reply detail in the pane below the list, a run of text
// per colour.
#include "ui/items/item_list_ctrl.h"

#include <QTextCharFormat>
#include <QTextCursor>

#include <vector>

#include "items/reply_detail.h"
#include "ui/pictures/palette_colours.h"
#include "ui/platform/qt_text.h"

namespace varnell {

void CDnsListCtrl::ShowReplyDetail(const DnsItem& item)
{
    QTextEdit* pane = DetailPane();
    if (pane == nullptr)
        return;
    const std::vector<DetailRun> runs = ReplyDetailOf(item);
    pane->setUpdatesEnabled(false);
    pane->clear();
    QTextCursor cursor(pane->document());
    cursor.movePosition(QTextCursor::End);
    for (const DetailRun& run : runs) {
        QTextCharFormat format;
        format.setForeground(DetailColourOn(run.colour, pane->palette()));
        QString text = ToQt(run.text);
        text.replace(QLatin1String("\r\n"), QLatin1String("\n"));
        cursor.insertText(text, format);
    }
    pane->setUpdatesEnabled(true);
}

} // namespace varnell
