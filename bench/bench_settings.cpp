// Save and load of a full item table (2048 items) through the real store in a
// temporary configuration folder. Prints the median and the worst of each.
//
//   bench_settings [repetitions]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "config/settings.h"
#include "config/settings_blob.h"
#include "config/settings_store.h"
#include "items/item_table.h"

using namespace varnell;

namespace {

using Clock = std::chrono::steady_clock;

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

void FillTable()
{
    InitItemTable();
    for (std::uint32_t i = 0; i < kItemSlots; ++i) {
        ItemEdit e;
        e.interval = 5000 + i;
        e.timeout = 2000;
        e.serverBE = 0x0100007F;
        e.typeIndex = i % kRecordTypeCount;
        e.name = "monitored-host-" + std::to_string(i);
        e.description = "branch office resolver " + std::to_string(i);
        e.domain = "host" + std::to_string(i) + ".example.org";
        CommitNewItem(static_cast<std::uint32_t>(NewItemSlot()), e);
        LockItems()->items[i].knownCount = 4;
    }
}

void Report(const char* what, std::vector<double> ms)
{
    std::sort(ms.begin(), ms.end());
    std::printf("%-6s median %8.2f ms   max %8.2f ms   (%zu runs)\n", what, ms[ms.size() / 2], ms.back(), ms.size());
}

} // namespace

int main(int argc, char** argv)
{
    const int reps = argc > 1 ? std::max(1, std::atoi(argv[1])) : 15;
    std::string folder = (std::filesystem::temp_directory_path() / "varnell-bench-XXXXXX").string();
    if (mkdtemp(folder.data()) == nullptr)
        return 1;
    setenv("XDG_CONFIG_HOME", folder.c_str(), 1);

    CurrentSettings() = DefaultSettings(0x0100007F);
    FillTable();
    std::vector<double> save, load;
    std::vector<std::uint8_t> blob;
    for (int r = 0; r < reps; ++r) {
        auto t0 = Clock::now();
        SaveSettings();
        save.push_back(Ms(Clock::now() - t0));

        InitItemTable();
        t0 = Clock::now();
        const int rc = LoadSettings();
        load.push_back(Ms(Clock::now() - t0));
        if (rc != 0 || LockItems()->liveCount != kItemSlots) {
            std::fprintf(stderr, "load failed: %d, %u items\n", rc, LockItems()->liveCount);
            return 1;
        }
    }
    // Where the time goes: the blob itself, and the store.
    std::vector<double> build, write, read, apply;
    for (int r = 0; r < reps; ++r) {
        auto t0 = Clock::now();
        BuildSettingsBlob(CurrentSettings(), *LockItems(), blob);
        build.push_back(Ms(Clock::now() - t0));
        t0 = Clock::now();
        WriteSettingsBlob(blob.data(), blob.size());
        write.push_back(Ms(Clock::now() - t0));
        t0 = Clock::now();
        ReadSettingsBlob(blob);
        read.push_back(Ms(Clock::now() - t0));
        t0 = Clock::now();
        ApplySettingsBlob(blob, CurrentSettings(), *LockItems());
        apply.push_back(Ms(Clock::now() - t0));
    }
    std::printf("blob: %zu bytes for %u items\n", blob.size(), kItemSlots);
    // The first save also creates the store; it is reported on its own.
    std::printf("%-6s          %8.2f ms   (creates the store)\n", "first", save.front());
    if (save.size() > 1)
        save.erase(save.begin());
    Report("save", save);
    Report("load", load);
    Report("build", build);
    Report("write", write);
    Report("read", read);
    Report("apply", apply);
    std::filesystem::remove_all(folder);
    return 0;
}
