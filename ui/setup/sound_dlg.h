// The "Edit Sound" dialog: chooses the sound file of the sound alert, plays it
// for a trial, and records a new one from the default capture device (8-bit PCM
// at 11 025 samples per second) and saves it as a wave file. Its device is its
// own, on the user-interface thread, apart from the beep worker's.
#pragma once

#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>

#include <memory>

#include "alerts/sound/sound.h"
#include "ui/setup/dialog_base.h"

namespace varnell {

inline constexpr const char* kSoundOpenFilter = "sound file (*.mp3;*.wma;*.wav)|*.mp3; *.wma; *.wav|All files(*.*)|*.*||";
inline constexpr const char* kWaveSaveFilter = "Wave Files (*.wav)|*.wav| |";

class CDlgSound : public CDialogBase {
    Q_OBJECT
public:
    CDlgSound(const QString& soundFile, QWidget* parent = nullptr);
    ~CDlgSound() override;

    void done(int result) override;

    // The sound file as the dialog now holds it.
    QString SoundFile() const { return soundFile_; }
    // No capture device list (no sound server): recording is off, choosing and
    // trying a file still work.
    bool DeviceListFailed() const { return deviceListFailed_; }
    CHwMCI& Device() { return device_; }

    void OnOpen();
    void OnPlay();
    void OnStop();
    void OnRecord();
    void OnSave();

    QComboBox* devices = nullptr;
    QLineEdit* fileEdit = nullptr;
    QRadioButton* mono = nullptr;
    QRadioButton* stereo = nullptr;
    QPushButton* openButton = nullptr;
    QPushButton* playButton = nullptr;
    QPushButton* stopButton = nullptr;
    QPushButton* recordButton = nullptr;
    QPushButton* saveButton = nullptr;
    QPushButton* okButton = nullptr;
    QPushButton* cancelButton = nullptr;

private:
    void ReadControls();

    QString soundFile_;
    int channels_ = 2; // "Stereo"
    bool deviceListFailed_ = false;
    CHwMCI device_;
};

} // namespace varnell
