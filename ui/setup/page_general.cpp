#include "ui/setup/page_general.h"

#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QVBoxLayout>

#include <array>
#include <utility>

#include "alerts/log_file.h"
#include "config/settings.h"
#include "config/settings_store.h"
#include "probe/edns.h"
#include "ui/platform/edit_controls.h"
#include "ui/setup/sound_dlg.h"
#include "ui/platform/file_dialog.h"
#include "ui/platform/qt_text.h"
#include "ui/setup/dialog_buttons.h"

namespace varnell {

namespace {

constexpr int kNumberTextLimit = 254;

QCheckBox* Check(const char* text, QWidget* parent) { return new QCheckBox(QString::fromLatin1(text), parent); }

// The check boxes that stand for one flag bit each.
std::array<std::pair<QCheckBox*, std::uint32_t>, 9> FlagBoxes(const CDlgGen& d)
{
    return {{{d.startService, kGenStartService},
             {d.execute, kGenExecute},
             {d.sendMail, kGenMail},
             {d.popup, kGenPopup},
             {d.netMessage, kGenNetMessage},
             {d.sound, kGenSound},
             {d.log, kGenLog},
             {d.sendSyslog, kGenSyslog},
             {d.repeat, kGenRepeat}}};
}

} // namespace

CDlgGen::CDlgGen(QWidget* parent) : CDialogBase(parent)
{
    setObjectName(QStringLiteral("pageGeneral"));
    runAtStartup = Check("Run Varnell at start up", this);
    startService = Check("Start service automatically", this);
    useEdns = Check("Use EDNS (large answers)", this);

    auto* actions = new QGroupBox(QStringLiteral("Alert actions"), this);
    popup = Check("Popup Message Box", actions);
    notification = Check("Desktop notification", actions);
    netMessage = Check("Send Network Message", actions);
    execute = Check("Execute", actions);
    execPath = new QLineEdit(actions);
    execChoose = PlainButton("Choose", actions);
    sound = Check("Sound", actions);
    beep = new QRadioButton(QStringLiteral("Beep"), actions);
    playSound = new QRadioButton(QStringLiteral("Play Sound"), actions);
    soundPath = new QLineEdit(actions);
    soundChoose = PlainButton("Choose", actions);
    repeat = Check("Repeat", actions);
    seconds = new SpinEdit(actions);
    sendMail = Check("Send Mail", actions);
    log = Check("Log", actions);
    logPath = new QLineEdit(actions);
    logChoose = PlainButton("Choose", actions);
    sendSyslog = Check("Send Syslog", actions);

    auto* grid = new QGridLayout(actions);
    auto* popupRow = new QHBoxLayout;
    popupRow->addWidget(popup);
    popupRow->addWidget(notification);
    popupRow->addStretch(1);
    grid->addLayout(popupRow, 0, 0, 1, 2);
    notification->setToolTip(QStringLiteral("Show events through the desktop's notifications instead of a message "
                                            "box; without a notification service the box is shown"));
    connect(popup, &QCheckBox::toggled, notification, &QWidget::setEnabled);
    grid->addWidget(netMessage, 0, 2, 1, 2);
    grid->addWidget(execute, 1, 0);
    grid->addWidget(execPath, 1, 1, 1, 2);
    grid->addWidget(execChoose, 1, 3);
    grid->addWidget(new QLabel(QStringLiteral("Parameter:  <EVENT>"), actions), 2, 1, 1, 3);
    grid->addWidget(sound, 3, 0);
    auto* kinds = new QHBoxLayout;
    kinds->addWidget(beep);
    kinds->addWidget(playSound);
    kinds->addStretch(1);
    grid->addLayout(kinds, 3, 1, 1, 3);
    grid->addWidget(soundPath, 4, 1, 1, 2);
    grid->addWidget(soundChoose, 4, 3);
    grid->addWidget(repeat, 5, 0);
    auto* secondsRow = new QHBoxLayout;
    secondsRow->addWidget(seconds);
    secondsRow->addWidget(new QLabel(QStringLiteral("Seconds"), actions));
    secondsRow->addStretch(1);
    grid->addLayout(secondsRow, 5, 1, 1, 3);
    grid->addWidget(sendMail, 6, 0, 1, 2);
    grid->addWidget(log, 7, 0);
    grid->addWidget(logPath, 7, 1, 1, 2);
    grid->addWidget(logChoose, 7, 3);
    grid->addWidget(sendSyslog, 8, 0, 1, 2);
    grid->setColumnStretch(1, 1);

    auto* column = new QVBoxLayout(this);
    column->addWidget(runAtStartup);
    column->addWidget(startService);
    column->addWidget(useEdns);
    column->addWidget(actions);
    column->addStretch(1);

    connect(execChoose, &QPushButton::clicked, this, &CDlgGen::OnChooseProgram);
    connect(soundChoose, &QPushButton::clicked, this, &CDlgGen::OnChooseSound);
    connect(logChoose, &QPushButton::clicked, this, &CDlgGen::OnChooseLog);
    Init();
    InstallKeyFilter();
}

void CDlgGen::Init()
{
    const GeneralSettings& g = CurrentSettings().general;
    const std::uint32_t flags = g.Flags();
    if ((flags & kGenBeep) != 0)
        beep->setChecked(true);
    else
        playSound->setChecked(true);
    runAtStartup->setChecked(QueryAutoStart() != 0);
    for (const auto& [box, bit] : FlagBoxes(*this))
        box->setChecked((flags & bit) != 0);
    execPath->setText(ToQt(g.texts[kTextExecPath]));
    soundPath->setText(ToQt(g.texts[kTextSoundPath]));
    logPath->setText(ToQt(g.texts[kTextLogPath]));
    seconds->Edit()->setText(QString::number(g.RepeatSeconds()));
    ednsSize_ = CurrentSettings().extra.queryEdns;
    useEdns->setChecked(ednsSize_ != 0);
    notification->setChecked(CurrentSettings().extra.alertNotification == 1);
    notification->setEnabled(popup->isChecked());
}

int CDlgGen::Apply()
{
    GeneralSettings& g = CurrentSettings().general;
    std::uint32_t flags = g.Flags() & ~0x3FFu;
    for (const auto& [box, bit] : FlagBoxes(*this))
        if (box->isChecked())
            flags |= bit;
    if (beep->isChecked())
        flags |= kGenBeep;
    g.SetFlags(flags);

    if (runAtStartup->isChecked())
        RegisterAutoStart(1);
    else
        UnregisterAutoStart();

    g.SetRepeatSeconds(DialogNumber(seconds->Edit()->text().left(kNumberTextLimit).toStdString()));
    g.texts[kTextExecPath] = CutText(execPath->text(), kGeneralPathLimit);
    g.texts[kTextSoundPath] = CutText(soundPath->text(), kGeneralPathLimit);
    g.texts[kTextLogPath] = CutText(logPath->text(), kGeneralPathLimit);

    // The new name takes effect now; an empty one leaves logging without a file.
    ReopenLogFile();

    // A size set in the store is kept; ticking the box again restores it.
    std::uint32_t& edns = CurrentSettings().extra.queryEdns;
    edns = !useEdns->isChecked() ? 0u : ednsSize_ != 0 ? ednsSize_ : kDefaultQueryEdns;
    SetQueryEdnsSize(edns);

    // A stored value this page does not know is kept while the box is unchanged.
    std::uint32_t& notify = CurrentSettings().extra.alertNotification;
    if (notification->isChecked() != (notify == 1))
        notify = notification->isChecked() ? 1u : 0u;
    return 0;
}

void CDlgGen::OnChooseProgram()
{
    // No default suffix: it would turn /usr/bin/notify-send into a program that
    // does not exist.
    FileRequest request;
    request.filter = kExecFilter;
    request.start = execPath->text();
    const QString path = ChooseFile(this, request);
    if (!path.isEmpty())
        execPath->setText(path);
}

void CDlgGen::OnChooseLog()
{
    // The log is opened for appending, so a new name is as good as an old one.
    FileRequest request;
    request.filter = kLogFilter;
    request.start = logPath->text();
    request.mayCreate = true;
    const QString path = ChooseFile(this, request);
    if (!path.isEmpty())
        logPath->setText(path);
}

void CDlgGen::OnChooseSound()
{
    CDlgSound dialog(soundPath->text(), this);
    if (dialog.exec() != QDialog::Accepted)
        return;
    soundPath->setText(dialog.SoundFile());
    playSound->setChecked(true);
}

} // namespace varnell
