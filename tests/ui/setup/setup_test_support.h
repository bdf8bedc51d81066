// What the Setup dialog tests share: a settings store in a temporary folder,
// fresh default settings and item table, the Qt desktop layer, and the pages'
// message boxes and file dialogs recorded instead of shown.
#pragma once

#include <gtest/gtest.h>

#include <QDialog>
#include <QTimer>

#include <cstdlib>
#include <functional>
#include <vector>

#include "config/settings.h"
#include "config/settings_blob.h"
#include "items/item_table.h"
#include "tests/support/process.h"
#include "tests/ui/qt_test_env.h"
#include "ui/platform/qt_ui_channel.h"
#include "ui/platform/file_dialog.h"
#include "ui/platform/message_box.h"
#include "ui/platform/qt_text.h"
#include "ui/setup/address_dialog.h"
#include "ui/setup/address_list.h"
#include "ui/setup/dialog_base.h"
#include "ui/platform/edit_controls.h"

namespace varnell::test {

class SetupTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        setenv("XDG_CONFIG_HOME", dir_.Path().c_str(), 1);
        CurrentSettings() = DefaultSettings(0x0100007Fu); // 127.0.0.1
        InitItemTable();
        SetUiChannel(&desktop_);
        SetBoxHook([this](const BoxRecord& box) { boxes_.push_back(box); });
        SetFileChooserHook([this](const FileRequest& request) {
            requests_.push_back(request);
            return chosenFile_;
        });
    }
    void TearDown() override
    {
        SetBoxHook({});
        SetFileChooserHook({});
        SetUiChannel(nullptr);
        unsetenv("XDG_CONFIG_HOME");
    }

    // The settings and item table as a save would store them.
    static std::vector<std::uint8_t> Serialised()
    {
        Settings copy = CurrentSettings();
        std::vector<std::uint8_t> out;
        BuildSettingsBlob(copy, *LockItems(), out);
        return out;
    }

    TempDir dir_;
    QtUiChannel desktop_;
    std::vector<BoxRecord> boxes_;
    std::vector<FileRequest> requests_;
    QString chosenFile_;
};

// Runs act against the next modal dialog that opens (e.g. a page's receiver
// dialog), from the event loop, while the caller's exec() is running. Keep the
// object for as long as that dialog may open: it stops watching when destroyed.
class OnNextModal {
public:
    explicit OnNextModal(std::function<void(QDialog*)> act)
    {
        timer_.setInterval(10);
        QObject::connect(&timer_, &QTimer::timeout, [this, act] {
            auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
            if (dialog == nullptr || !dialog->isVisible())
                return;
            timer_.stop();
            act(dialog);
        });
        timer_.start();
    }

private:
    QTimer timer_;
};

} // namespace varnell::test
