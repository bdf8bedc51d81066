#include "alerts/sound/media_module.h"

#include <dlfcn.h>
#include <mutex>

namespace varnell::sound {

namespace {

// Where the module lies: beside the build's programs first, so a build tree
// never loads the module of an older installed copy, then where it installs
// (both paths are set by the build).
constexpr const char* kModulePaths[] = {VARNELL_SOUND_MODULE_BUILT, VARNELL_SOUND_MODULE_INSTALLED};

} // namespace

const SoundMedia* LoadSoundMedia(std::string& error)
{
    static std::once_flag once;
    static const SoundMedia* media = nullptr;
    static std::string reason;
    std::call_once(once, [] {
        reason = "The media library could not be loaded.";
        for (const char* path : kModulePaths) {
            void* module = dlopen(path, RTLD_NOW | RTLD_LOCAL);
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
            reason = std::string(path) + " is not this build's media module.";
            dlclose(module);
        }
    });
    if (media == nullptr)
        error = reason;
    return media;
}

} // namespace varnell::sound
