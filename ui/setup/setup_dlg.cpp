#include "ui/setup/setup_dlg.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QIcon>
#include <QPixmap>
#include <QVBoxLayout>

#include "config/settings_store.h"
#include "ui/pictures/drawn_picture.h"
#include "ui/pictures/page_icons.h"
#include "ui/setup/page_general.h"
#include "ui/setup/page_mail.h"
#include "ui/setup/page_messenger.h"
#include "ui/setup/page_metrics.h"
#include "ui/setup/page_syslog.h"
#include "ui/platform/message_box.h"

namespace varnell {

namespace {

constexpr std::array<const char*, kSetupPageCount> kCaptions{"General", "Messenger", "Mail", "Syslog", "Metrics"};

// The dialog's size and the tree's width, from its 459 x 333 dialog units at
// the usual 8-point font.
constexpr int kDialogWidth = 688;
constexpr int kDialogHeight = 540;
constexpr int kTreeWidth = 198;

} // namespace

CSetupDlg::CSetupDlg(QWidget* parent) : QDialog(parent)
{
    setObjectName(QStringLiteral("setupDlg"));
    setWindowTitle(QStringLiteral("Setup"));
    resize(kDialogWidth, kDialogHeight);

    tree = new QTreeWidget(this);
    tree->setHeaderHidden(true);
    tree->setRootIsDecorated(false);
    tree->setItemsExpandable(false);
    tree->setIndentation(0);
    tree->setIconSize(QSize(kPageIconSize, kPageIconSize));
    tree->setFixedWidth(kTreeWidth);
    for (int i = 0; i < kSetupPageCount; ++i) {
        auto* item = new QTreeWidgetItem({QString::fromLatin1(kCaptions[static_cast<std::size_t>(i)])});
        item->setIcon(0, IconAtRatios([i](qreal ratio) { return PageIcon(i, ratio); }));
        item->setData(0, Qt::UserRole, i);
        tree->addTopLevelItem(item);
    }

    frame = new QFrame(this);
    frame->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    // The pages read the settings as they are made, in page order.
    pages_[0] = new CDlgGen(this);
    pages_[1] = new CDlgMessenger(this);
    pages_[2] = new CDlgMail(this);
    pages_[3] = new CDlgSyslog(this);
    pages_[4] = new CDlgMetrics(this);
    auto* stack = new QGridLayout(frame);
    // Inside the frame, one pixel short on the right and three at the bottom.
    stack->setContentsMargins(frame->frameWidth(), frame->frameWidth(), frame->frameWidth() + 1,
                              frame->frameWidth() + 3);
    for (CDialogBase* page : pages_) {
        page->setParent(frame, Qt::Widget);
        stack->addWidget(page, 0, 0);
        page->setVisible(false);
    }
    pages_[0]->setVisible(true);
    // Made after the pages, Cancel then OK, so that Tab goes from the tree through
    // the page's fields to Cancel and OK.
    cancelButton = new QPushButton(QStringLiteral("Cancel"), this);
    cancelButton->setAutoDefault(false);
    okButton = new QPushButton(QStringLiteral("OK"), this);
    okButton->setDefault(true);

    auto* body = new QHBoxLayout;
    body->addWidget(tree);
    body->addWidget(frame, 1);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(cancelButton);
    buttons->addStretch(1);
    buttons->addWidget(okButton);
    auto* column = new QVBoxLayout(this);
    column->addLayout(body, 1);
    column->addLayout(buttons);

    // No tree item is selected here: the first selection the user makes switches.
    tree->clearSelection();
    connect(tree, &QTreeWidget::itemSelectionChanged, this, &CSetupDlg::OnSelectionChanged);
    connect(okButton, &QPushButton::clicked, this, &CSetupDlg::accept);
    connect(cancelButton, &QPushButton::clicked, this, &CSetupDlg::reject);
}

CSetupDlg::~CSetupDlg() = default;

CDlgGen* CSetupDlg::General() const { return static_cast<CDlgGen*>(pages_[0]); }
CDlgMessenger* CSetupDlg::Messenger() const { return static_cast<CDlgMessenger*>(pages_[1]); }
CDlgMail* CSetupDlg::Mail() const { return static_cast<CDlgMail*>(pages_[2]); }
CDlgSyslog* CSetupDlg::Syslog() const { return static_cast<CDlgSyslog*>(pages_[3]); }
CDlgMetrics* CSetupDlg::Metrics() const { return static_cast<CDlgMetrics*>(pages_[4]); }

void CSetupDlg::OnSelectionChanged()
{
    const QList<QTreeWidgetItem*> selected = tree->selectedItems();
    if (selected.isEmpty())
        return;
    QTreeWidgetItem* item = selected.first();
    bool ok = false;
    const int index = item->data(0, Qt::UserRole).toInt(&ok);
    if (!ok || index < 0 || index >= kSetupPageCount)
        return;
    pages_[static_cast<std::size_t>(current_)]->setVisible(false);
    current_ = index;
    if (item->childCount() == 0)
        ShowPage(index);
}

void CSetupDlg::ShowPage(int index) { pages_[static_cast<std::size_t>(index)]->setVisible(true); }

void CSetupDlg::accept()
{
    for (CDialogBase* page : pages_)
        if (page->Apply() != 0)
            break;
    // The settings apply from now on either way; the operator learns that they
    // will not come back at the next start.
    if (std::string why; !SaveSettings(&why))
        ShowPageMessage(this, QStringLiteral("The settings could not be saved: %1").arg(QString::fromStdString(why)),
                        ApplicationTitleText(), BoxIcon::Warning);
    QDialog::accept();
}

} // namespace varnell
