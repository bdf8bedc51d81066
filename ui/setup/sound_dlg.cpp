#include "ui/setup/sound_dlg.h"
#include "ui/platform/message_box.h"
#include "ui/platform/file_dialog.h"
#include "ui/platform/qt_text.h"
#include "ui/setup/dialog_buttons.h"

#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>

#include <string>
#include <vector>

namespace varnell {

CDlgSound::CDlgSound(const QString& soundFile, QWidget* parent) : CDialogBase(parent), soundFile_(soundFile)
{
    setObjectName(QStringLiteral("dlgSound"));
    setWindowTitle(QStringLiteral("Edit Sound"));
    devices = new QComboBox(this);
    fileEdit = new QLineEdit(this);
    auto* channels = new QGroupBox(this);
    mono = new QRadioButton(QStringLiteral("Mono"), channels);
    stereo = new QRadioButton(QStringLiteral("Stereo"), channels);
    openButton = PlainButton("&Open", this);
    playButton = PlainButton("&Play", this);
    stopButton = PlainButton("&Stop", this);
    recordButton = PlainButton("&Record", this);
    saveButton = PlainButton("S&ave", this);
    okButton = new QPushButton(QStringLiteral("OK"), this);
    okButton->setDefault(true);
    cancelButton = PlainButton("Cancel", this);

    auto* channelRow = new QHBoxLayout(channels);
    channelRow->addWidget(mono);
    channelRow->addWidget(stereo);
    auto* grid = new QGridLayout;
    grid->addWidget(new QLabel(QStringLiteral("Audio device"), this), 0, 0);
    grid->addWidget(devices, 0, 1, 1, 2);
    grid->addWidget(new QLabel(QStringLiteral("Sound file"), this), 1, 0);
    grid->addWidget(fileEdit, 1, 1);
    grid->addWidget(openButton, 1, 2);
    grid->addWidget(channels, 2, 0, 1, 3);
    grid->setColumnStretch(1, 1);
    auto* actions = new QHBoxLayout;
    for (QPushButton* b : {playButton, stopButton, recordButton, saveButton})
        actions->addWidget(b);
    auto* closing = new QHBoxLayout;
    closing->addStretch(1);
    closing->addWidget(okButton);
    closing->addWidget(cancelButton);
    auto* column = new QVBoxLayout(this);
    column->addLayout(grid);
    column->addLayout(actions);
    column->addLayout(closing);

    // The names are shown only: recording always uses the default device.
    std::vector<std::string> names;
    if (EnumerateCaptureDevices(names) < 0) {
        // Ending the dialog at once as confirmed would leave no way to choose a
        // file on a desktop without a sound server, and would select "Play
        // Sound" for a file nobody chose.
        deviceListFailed_ = true;
        devices->setEnabled(false);
        recordButton->setEnabled(false);
    } else {
        for (const std::string& name : names)
            devices->addItem(ToQt(name));
        if (devices->count() > 0)
            devices->setCurrentIndex(0);
    }
    fileEdit->setText(soundFile_);
    stereo->setChecked(channels_ == 2);
    mono->setChecked(channels_ == 1);

    connect(openButton, &QPushButton::clicked, this, &CDlgSound::OnOpen);
    connect(playButton, &QPushButton::clicked, this, &CDlgSound::OnPlay);
    connect(stopButton, &QPushButton::clicked, this, &CDlgSound::OnStop);
    connect(recordButton, &QPushButton::clicked, this, &CDlgSound::OnRecord);
    connect(saveButton, &QPushButton::clicked, this, &CDlgSound::OnSave);
    connect(okButton, &QPushButton::clicked, this, &QDialog::accept);
    connect(cancelButton, &QPushButton::clicked, this, &QDialog::reject);
    InstallKeyFilter();
}

CDlgSound::~CDlgSound() = default;

void CDlgSound::done(int result)
{
    if (result == QDialog::Accepted)
        soundFile_ = fileEdit->text();
    device_.Close();
    CDialogBase::done(result);
}

void CDlgSound::ReadControls()
{
    soundFile_ = fileEdit->text();
    channels_ = mono->isChecked() ? 1 : 2;
}

void CDlgSound::OnOpen()
{
    const QString path =
        ChooseFile(this, FileRequest{false, QStringLiteral("SOUND"), kSoundOpenFilter, fileEdit->text()});
    if (path.isEmpty())
        return;
    soundFile_ = path;
    fileEdit->setText(path);
}

void CDlgSound::OnPlay()
{
    ReadControls();
    // An empty name would open a new, empty recording device: nothing to play.
    if (!device_.IsOpen() && (soundFile_.isEmpty() || device_.Open(soundFile_.toStdString()) == 0))
        return;
    device_.Play(1);
}

void CDlgSound::OnStop() { device_.Close(); }

void CDlgSound::OnRecord()
{
    ReadControls();
    device_.Record(channels_);
}

void CDlgSound::OnSave()
{
    const QString path = ChooseFile(this, FileRequest{true, QString(), kWaveSaveFilter, fileEdit->text()});
    if (path.isEmpty())
        return;
    soundFile_ = path;
    fileEdit->setText(path);
    if (device_.Save(path.toStdString()) != 0)
        ShowPageMessage(this, QStringLiteral("Save wave file successed !"), ApplicationTitleText(), BoxIcon::None);
}

} // namespace varnell
