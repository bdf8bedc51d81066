// The Messenger page of the Setup dialog: the network message receivers, the
// retries, the sender name, and a test that sends the test message to every
// receiver in the list and reports, per receiver, whether it arrived.
#pragma once

#include <QLineEdit>
#include <QPushButton>
#include <QTreeWidget>

#include <cstdint>
#include <memory>
#include <vector>

#include "ui/setup/dialog_base.h"
#include "ui/setup/page_window.h"

namespace varnell {

class AddressEdit;
class SpinEdit;

inline constexpr std::size_t kMessengerTextLimit = 255;
inline constexpr int kTestReceiverLimit = 19;

class CDlgMessenger : public CDialogBase {
    Q_OBJECT
public:
    explicit CDlgMessenger(QWidget* parent = nullptr);
    ~CDlgMessenger() override;

    int Apply() override;

    void OnAdd();
    void OnDelete();
    void OnEdit(QTreeWidgetItem* item);
    void OnTest();

    // One receiver of the running test.
    struct TestRecord {
        QString receiver;        // the row's text, at most kTestReceiverLimit characters
        std::uint32_t cookie = 0;
        int status = 0;          // 0 waiting, 1 sent, -1 could not be queued, -2 failed
        std::intptr_t error = 0; // the failed send's status
    };
    bool TestRunning() const { return testRunning_; }
    const std::vector<TestRecord>& TestRecords() const { return records_; }
    WindowId Window() const { return window_->Id(); }

    // The receiver dialog; tests replace it. Returns false when cancelled.
    std::function<bool(QString& address)> editReceiver;

    SpinEdit* retryTimes = nullptr;
    QLineEdit* senderName = nullptr;
    QLineEdit* testMessage = nullptr;
    QTreeWidget* receivers = nullptr;
    QPushButton* addButton = nullptr;
    QPushButton* deleteButton = nullptr;
    QPushButton* testButton = nullptr;

private:
    void OnSendDone(const WindowMessage& message);
    bool RunReceiverDialog(QString& address);

    bool testRunning_ = false;
    std::vector<TestRecord> records_;
    std::unique_ptr<PageWindow> window_;
};

// The report of a finished test, as the "Test Send" box shows it.
QString MessengerTestReport(const std::vector<CDlgMessenger::TestRecord>& records);

} // namespace varnell
