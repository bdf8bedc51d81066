#include "alerts/sound/media_module.h"

#include <dlfcn.h>
#include <mutex>
#include <unistd.h>

namespace varnell::sound {

namespace {

// Where the module lies: beside the build's programs first, so a build tree
// never loads the module of an older installed copy, then where it installs,
// relative to the program's folder unless the build gave a full path.
std::vector<std::string> ModulePaths()
{
    std::vector<std::string> paths = {VARNELL_SOUND_MODULE_BUILT};
    std::string installed = VARNELL_SOUND_MODULE_INSTALLED;
    if (installed.front() != '/') {
        char exe[4096];
        const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe);
        if (n <= 0 || static_cast<std::size_t>(n) >= sizeof exe)
            return paths;
        const std::string self(exe, static_cast<std::size_t>(n));
        installed = self.substr(0, self.rfind('/') + 1) + installed;
    }
    paths.push_back(std::move(installed));
    return paths;
}

} // namespace

const SoundMedia* LoadSoundMedia(std::string& error)
{
    static std::once_flag once;
    static const SoundMedia* media = nullptr;
    static std::string reason;
    std::call_once(once, [] {
        reason = "The media library could not be loaded.";
        for (const std::string& path : ModulePaths()) {
            void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
            if (module == nullptr) {
                if (const char* why = dlerror())
                    reason = why;
                continue;
            }
            using Entry = const SoundMedia* (*)();
            const auto entry = reinterpret_cast<Entry>(dlsym(module, "VarnellSoundMedia"));
            const SoundMedia* found = entry != nullptr ? entry() : nullptr;
            if (found != nullptr && found->size == sizeof(SoundMedia)) {
                media = found;
                return;
            }
            reason = path + " is not this build's media module.";
            dlclose(module);
        }
    });
    if (media == nullptr)
        error = reason;
    return media;
}

} // namespace varnell::sound
