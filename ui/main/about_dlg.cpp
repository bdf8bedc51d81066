#include "ui/main/about_dlg.h"

#include <QDialogButtonBox>
#include <QGridLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "ui/main/app.h"
#include "ui/pictures/icons.h"
#include "ui/platform/hyperlink.h"

namespace varnell {

namespace {
struct AboutLine {
    const char* text;
    const char* target;
};
// example.org names are reserved for documentation and can never lead to
// someone else's site.
constexpr AboutLine kLines[CAboutDlg::kLinkCount] = {
    {kVersionText, "https://varnell.example.org/"},
    {"Support: support@varnell.example.org", "mailto:support@varnell.example.org"},
    {"https://varnell.example.org/", "https://varnell.example.org/"},
};
} // namespace

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent)
{
    setWindowTitle(QStringLiteral("About Varnell"));
    setObjectName(QStringLiteral("aboutDialog"));
    auto* grid = new QGridLayout(this);
    auto* picture = new QLabel(this);
    picture->setPixmap(ProgramPixmap(48, devicePixelRatioF()));
    picture->setAlignment(Qt::AlignTop | Qt::AlignHCenter);
    grid->addWidget(picture, 0, 0, 3, 1);
    for (int i = 0; i < kLinkCount; ++i) {
        links_[i] = new CHyperLink(QString::fromLatin1(kLines[i].text), this);
        links_[i]->SetURL(QString::fromLatin1(kLines[i].target));
        links_[i]->SetUnderline(CHyperLink::kUnderlineAlways);
        links_[i]->Attach();
        grid->addWidget(links_[i], i, 1, Qt::AlignLeft | Qt::AlignVCenter);
    }
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    grid->addWidget(buttons, 3, 0, 1, 2);
    grid->setHorizontalSpacing(16);
    grid->setColumnStretch(1, 1);
    setFixedSize(sizeHint());
}

} // namespace varnell
