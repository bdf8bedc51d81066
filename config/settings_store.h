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

// Results of reading the stored blob. Only kSettingsMissing means there is no
// store to lose: the others leave the store held (below).
inline constexpr int kSettingsMissing = -1;    // no store, or nothing stored in it
inline constexpr int kSettingsBroken = -2;     // pieces missing or not adding up, or no room for the blob
inline constexpr int kSettingsUnreadable = -3; // the store exists but cannot be read (not a database of
                                               // ours, damaged, locked too long, I/O error)

// Reads the stored blob and the extra values (one read of the store) and applies
// every record to CurrentSettings() and the item table. 0 when applied, or a
// negative result above with nothing applied (the defaults stay).
int LoadSettings();
// Serialises every record and writes the blob in one transaction. false, with
// the store's reason in why, when nothing was written (a failed write, or a
// store that is held).
bool SaveSettings(std::string* why = nullptr);

// A store that exists but could not be loaded is held: nothing this process
// saves goes over it while a file is at its place, so the items and settings in
// it stay there for the operator to recover. The hold ends when that file is
// moved away or deleted (the next save then makes a new store); a program
// started again with a readable store in place loads it.
struct StoreHold {
    std::string path;   // the store that could not be read
    std::string reason; // why, in the store's own words
    std::string copy;   // the copy kept beside it (CopyHeldStore), or empty
};
// The hold of this process, or nullptr when the store loaded, was absent, or
// has since been moved away from its place.
const StoreHold* HeldStore();
// Copies the held store, and the write-ahead log beside it, to
// path.broken-YYYYMMDD-HHMMSS: the state the operator found, whatever is
// tried on the store later. false, with why, when there is no hold or the copy
// cannot be made.
bool CopyHeldStore(std::string& why);
// One sentence for the operator: which store is held, why, where the copy is
// and what ends the hold.
std::string HeldStoreText(const StoreHold& hold);

// Writes the blob as values "item0", "item1", ... of 1000 bytes (the last one
// shorter, possibly empty) and "MaxLength", and the extra values beside it.
// Either all of it is stored or, on any failure, the previous blob stays whole.
// 1 on success, 0 on failure (with the store's reason in why).
int WriteSettingsBlob(const std::uint8_t* data, std::size_t length, const std::vector<NamedValue>& extras = {},
                      std::string* why = nullptr);
// Reads the stored blob into out: its length, or a negative result above (with
// the reason in why).
int ReadSettingsBlob(std::vector<std::uint8_t>& out, std::string* why = nullptr);
// Reads the extra values into extra; those missing keep what extra holds.
// false when the store cannot be read (extra is then untouched).
bool ReadExtraSettings(ExtraSettings& extra);

// $XDG_CONFIG_HOME, or ~/.config when it is unset, empty or not absolute.
std::string ConfigDir();
// $XDG_STATE_HOME, or ~/.local/state: what the program keeps that is no setting.
std::string StateDir();
// ConfigDir()/varnell/registry.db, or FOLDER/registry.db once SetStoreFolder
// named one (a system service's instance keeps its store in a folder of its own).
std::string RegistryPath();
// An absolute folder for the store instead of ConfigDir()/varnell; empty: that again.
void SetStoreFolder(std::string folder);

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
