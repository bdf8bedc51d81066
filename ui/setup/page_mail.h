// The Mail page of the Setup dialog: the SMTP server, sender, logon, subject
// and receiver list of the mail alert, and a test mail sent from the page's
// current values (saved or not) through the mail worker.
#pragma once

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTreeWidget>

#include <functional>
#include <memory>

#include "alerts/mail_thread.h"
#include "ui/setup/dialog_base.h"
#include "ui/setup/page_window.h"

namespace varnell {

inline constexpr int kPortTextLimit = 255;

class CDlgMail : public CDialogBase {
    Q_OBJECT
public:
    explicit CDlgMail(QWidget* parent = nullptr);
    ~CDlgMail() override;

    // 0, or -1 when the receiver list could not be stored (the stored list is then empty).
    int Apply() override;

    void OnNeedLogon();
    void OnAdd();
    void OnDelete();
    void OnEdit(QTreeWidgetItem* item);
    void OnTestMail();
    // The usual port of the mode chosen replaces the usual port of another
    // (STARTTLS: 25 becomes 587; SSL/TLS: 25 or 587 becomes 465); a port the
    // operator typed is kept.
    void OnSecurityChanged(int index);
    void OnChooseCaFile();

    bool TestRunning() const { return testRunning_; }
    WindowId Window() const { return window_->Id(); }

    // The receiver dialog; tests replace it. Returns false when cancelled.
    std::function<bool(QString& address)> editReceiver;

    QLineEdit* server = nullptr;
    QLineEdit* port = nullptr;
    QCheckBox* needLogon = nullptr;
    QLineEdit* user = nullptr;
    QLineEdit* password = nullptr;
    QLineEdit* fromAddress = nullptr;
    QLineEdit* fromName = nullptr;
    QLineEdit* subject = nullptr;
    QCheckBox* highPriority = nullptr;
    // Under the logon fields while Security is "None": the password would go
    // out readable. Greyed with the fields when no logon is asked for.
    QLabel* clearLogonWarning = nullptr;
    QComboBox* security = nullptr; // "None", "STARTTLS", "SSL/TLS": the stored value is the index
    QLineEdit* caFile = nullptr;
    QPushButton* caChooseButton = nullptr;
    QTreeWidget* receivers = nullptr;
    QPushButton* addButton = nullptr;
    QPushButton* deleteButton = nullptr;
    QPushButton* testButton = nullptr;

private:
    void OnTestDone(const WindowMessage& message);
    MailTls PageTls() const;
    bool RunReceiverDialog(QString& address);
    void ShowClearLogonWarning();

    bool testRunning_ = false;
    std::unique_ptr<PageWindow> window_;
};

} // namespace varnell
