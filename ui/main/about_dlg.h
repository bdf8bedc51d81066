// The About box: the program's picture, its name and version, a support contact
// and a web link, each an always-underlined hyperlink.
#pragma once

#include <QDialog>

namespace varnell {

class CHyperLink;

class CAboutDlg : public QDialog {
    Q_OBJECT
public:
    explicit CAboutDlg(QWidget* parent = nullptr);

    CHyperLink* Link(int index) const { return links_[index]; }
    static constexpr int kLinkCount = 3;

private:
    CHyperLink* links_[kLinkCount] = {};
};

} // namespace varnell
