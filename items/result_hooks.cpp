#include "items/result_hooks.h"

#include <atomic>

namespace varnell {
namespace {
std::atomic<ResultHooks*> g_hooks{nullptr};
}
void SetResultHooks(ResultHooks* hooks) { g_hooks.store(hooks); }
ResultHooks* GetResultHooks() { return g_hooks.load(); }
} // namespace varnell
