// The General page of the Setup dialog: which alert actions run for an event,
// their parameters (program, sound, log file), and the start-up behaviour.
#pragma once

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>

#include "ui/setup/dialog_base.h"

namespace varnell {

class SpinEdit;

// The most bytes of a path the page stores.
inline constexpr std::size_t kGeneralPathLimit = 268;

// All files come first, and as "*": programs here rarely have a dot in their
// name, and "*.*" would hide them.
inline constexpr const char* kExecFilter = "All files|*|exe file|*.exe||";
inline constexpr const char* kLogFilter = "All files|*|log file|*.log|Text file|*.txt|CSV file|*.csv||";

class CDlgGen : public CDialogBase {
    Q_OBJECT
public:
    explicit CDlgGen(QWidget* parent = nullptr);

    // Flags, texts and the seconds into the General settings, the start-up
    // entry made or removed, the log file reopened under its (new) name, and
    // the EDNS size stored and handed to the engine.
    int Apply() override;

    void OnChooseProgram();
    void OnChooseSound();
    void OnChooseLog();

    QCheckBox* runAtStartup = nullptr;
    QCheckBox* startService = nullptr;
    QCheckBox* useEdns = nullptr; // queries advertise a UDP size (QueryEdns), or none
    QCheckBox* popup = nullptr;
    QCheckBox* notification = nullptr; // the box's alert as a desktop notification (AlertNotification)
    QCheckBox* netMessage = nullptr;
    QCheckBox* execute = nullptr;
    QLineEdit* execPath = nullptr;
    QPushButton* execChoose = nullptr;
    QCheckBox* sound = nullptr;
    QRadioButton* beep = nullptr;
    QRadioButton* playSound = nullptr;
    QLineEdit* soundPath = nullptr;
    QPushButton* soundChoose = nullptr;
    QCheckBox* repeat = nullptr;
    SpinEdit* seconds = nullptr;
    QCheckBox* sendMail = nullptr;
    QCheckBox* log = nullptr;
    QLineEdit* logPath = nullptr;
    QPushButton* logChoose = nullptr;
    QCheckBox* sendSyslog = nullptr;

private:
    void Init();

    std::uint32_t ednsSize_ = 0; // the size shown at Init, restored when the box is ticked again
};

} // namespace varnell
