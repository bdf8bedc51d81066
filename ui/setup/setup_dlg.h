// The Setup dialog: a tree of the four settings pages on the left, the chosen
// page in a frame on the right. OK applies the pages in order and saves every
// setting and the item table; Cancel leaves both as they were.
#pragma once

#include <QFrame>
#include <QPushButton>
#include <QTreeWidget>

#include <array>

#include "ui/setup/dialog_base.h"

namespace varnell {

class CDlgGen;
class CDlgMessenger;
class CDlgMail;
class CDlgSyslog;
class CDlgMetrics;

inline constexpr int kSetupPageCount = 5;

class CSetupDlg : public QDialog {
    Q_OBJECT
public:
    explicit CSetupDlg(QWidget* parent = nullptr);
    ~CSetupDlg() override;

    // Applies General, Messenger, Mail, Syslog and Metrics in that order, stopping at a
    // page that fails; then saves everything (also after a failure) and closes.
    void accept() override;

    CDialogBase* Page(int index) const { return pages_[static_cast<std::size_t>(index)]; }
    int CurrentPage() const { return current_; }
    CDlgGen* General() const;
    CDlgMessenger* Messenger() const;
    CDlgMail* Mail() const;
    CDlgSyslog* Syslog() const;
    CDlgMetrics* Metrics() const;

    QTreeWidget* tree = nullptr;
    QFrame* frame = nullptr;
    QPushButton* okButton = nullptr;
    QPushButton* cancelButton = nullptr;

private:
    void OnSelectionChanged();
    void ShowPage(int index);

    std::array<CDialogBase*, kSetupPageCount> pages_{};
    int current_ = 0;
};

} // namespace varnell
