// The settings store: every settings record and the item table, kept between
// runs as one binary blob (config/settings_blob.h) cut into 1000-byte values of
// the per-user store of named values (config/registry.h), and the per-user
// automatic start-up entry.
//
// All of it runs on the user-interface thread: LoadSettings once at start-up
// before the engine threads start, SaveSettings when the Setup dialog is
// confirmed and at exit. No lock is taken except the engine lock while the item
// records are copied.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "config/extra_settings.h"

namespace varnell {

// Results of reading the stored blob.
inline constexpr int kSettingsMissing = -1;  // "MaxLength" or a piece missing, store unreadable
inline constexpr int kSettingsBroken = -2;   // pieces do not add up, or no room for the blob

// Reads the stored blob and applies every record to CurrentSettings() and the
// item table. 0 when applied, or kSettingsMissing / kSettingsBroken with nothing
// applied (the defaults stay). A store that is not a readable database is moved
// aside (see registry.h) and counts as missing.
int LoadSettings();
// Serialises every record and writes the blob in one transaction.
void SaveSettings();

// Writes the blob as values "item0", "item1", ... of 1000 bytes (the last one
// shorter, possibly empty) and "MaxLength", and the extra values beside it.
// Either all of it is stored or, on any failure, the previous blob stays whole.
// 1 on success, 0 on failure.
int WriteSettingsBlob(const std::uint8_t* data, std::size_t length, const std::vector<NamedValue>& extras = {});
// Reads the stored blob into out: its length, or kSettingsMissing / kSettingsBroken.
int ReadSettingsBlob(std::vector<std::uint8_t>& out);
// Reads the extra values into extra; those missing keep what extra holds.
// false when the store cannot be read (extra is then untouched).
bool ReadExtraSettings(ExtraSettings& extra);

// $XDG_CONFIG_HOME, or ~/.config when it is unset, empty or not absolute.
std::string ConfigDir();
// $XDG_STATE_HOME, or ~/.local/state: what the program keeps that is no setting.
std::string StateDir();
// ConfigDir()/varnell/registry.db
std::string RegistryPath();

// The automatic start-up entry, ConfigDir()/autostart/varnell.desktop.
// mode 1 starts the program plainly, mode 2 with the argument ICON.
// 1 when written, 0 when it could not be.
int RegisterAutoStart(int mode);
// 1 when the entry was deleted, 0 when there was none or it could not be.
int UnregisterAutoStart();
// 0 when absent, unreadable or hidden; 2 when it starts the program with ICON; else 1.
int QueryAutoStart();

// Test hook: called inside the save transaction after every value was written
// and before the commit; nullptr (the default) for none.
void SetSaveTransactionHook(void (*hook)());

} // namespace varnell
