// Writes a settings store with the given items, as the program itself would save
// it, into $XDG_CONFIG_HOME/varnell/. Used by scripts/screenshots.sh and the UI
// benchmark to start the program with a known item list.
//
// usage: varnell_seed_store [--quiet] LOGFILE ITEM...
//   --quiet  pop-up boxes and sounds off (the other alert channels as default)
//   ITEM = name,domain,type,server[:port][,interval-ms[,lost-count]]
//   type = A, CNAME, MX, NS, PTR, SOA or AAAA
#include <arpa/inet.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "config/settings.h"
#include "config/settings_blob.h"
#include "config/settings_store.h"
#include "items/item_table.h"
#include "probe/engine.h"

using namespace varnell;

namespace {

std::vector<std::string> Split(const std::string& s, char sep)
{
    std::vector<std::string> out;
    std::stringstream in(s);
    std::string part;
    while (std::getline(in, part, sep))
        out.push_back(part);
    return out;
}

bool AddItem(const std::string& itemText)
{
    const auto f = Split(itemText, ',');
    if (f.size() < 4)
        return false;
    ItemEdit e;
    e.name = f[0];
    e.domain = f[1];
    e.typeIndex = kRecordTypeCount;
    for (std::uint32_t t = 0; t < kRecordTypeCount; ++t)
        if (f[2] == RecordTypeName(t))
            e.typeIndex = t;
    if (e.typeIndex == kRecordTypeCount)
        return false;
    const auto hostPort = Split(f[3], ':');
    in_addr addr{};
    if (hostPort.empty() || inet_pton(AF_INET, hostPort[0].c_str(), &addr) != 1)
        return false;
    e.serverBE = addr.s_addr;
    e.interval = f.size() > 4 ? static_cast<std::uint32_t>(std::strtoul(f[4].c_str(), nullptr, 10)) : 5000;
    e.timeout = e.interval < 2000 ? e.interval : 2000;
    e.lostCount = f.size() > 5 ? static_cast<std::uint32_t>(std::strtoul(f[5].c_str(), nullptr, 10)) : 2;
    const int slot = NewItemSlot();
    if (slot < 0 || !CommitNewItem(static_cast<std::uint32_t>(slot), e))
        return false;
    if (hostPort.size() > 1) {
        // Tests and demonstrations serve DNS on an unprivileged port.
        const auto port = static_cast<std::uint16_t>(std::strtoul(hostPort[1].c_str(), nullptr, 10));
        LockItems()->items[static_cast<std::size_t>(slot)].server.portBE = htons(port);
    }
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    int first = 1;
    const bool quiet = argc > 1 && std::strcmp(argv[1], "--quiet") == 0;
    if (quiet)
        ++first;
    if (argc <= first) {
        std::fprintf(stderr, "usage: %s [--quiet] LOGFILE name,domain,type,server[:port][,interval[,lost]]...\n",
                     argv[0]);
        return 2;
    }
    Settings settings = DefaultSettings(LookUpLocalAddress());
    settings.general.texts[kTextLogPath] = argv[first];
    if (quiet)
        settings.general.SetFlags(settings.general.Flags() & ~(kGenPopup | kGenSound));
    CurrentSettings() = settings;
    InitItemTable();
    for (int i = first + 1; i < argc; ++i) {
        if (!AddItem(argv[i])) {
            std::fprintf(stderr, "bad item: %s\n", argv[i]);
            return 2;
        }
    }
    std::vector<std::uint8_t> blob;
    BuildSettingsBlob(settings, *LockItems(), blob);
    if (WriteSettingsBlob(blob.data(), blob.size()) != 1) {
        std::fprintf(stderr, "cannot write the store under %s\n", ConfigDir().c_str());
        return 1;
    }
    return 0;
}
