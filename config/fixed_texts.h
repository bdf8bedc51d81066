// A few fixed texts (the settings key, the autostart entry's folder and file
// name, the application title) are kept enciphered in the program and deciphered
// on first use. This is no protection: it only keeps them out of a plain
// `strings` listing of the binary.
#pragma once

#include <string>

namespace varnell {

enum class FixedText : int {
    kSettingsKey = 0,   // key of the settings values in the per-user store
    kAutoStartFolder,   // folder below the configuration folder
    kAutoStartFile,     // the autostart entry's file name
    kAppTitle,          // caption of message boxes, Name= of the autostart entry
    kCount
};

// The deciphered text; valid for the whole run. Safe from any thread.
const char* FixedTextValue(FixedText which);

// The application title: main window caption and message box caption.
std::string ApplicationTitle();

} // namespace varnell
