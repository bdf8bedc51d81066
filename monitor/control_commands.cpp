#include "monitor/control_commands.h"

#include <unistd.h>

#include <map>
#include <nlohmann/json.hpp>
#include <vector>

#include "items/address6.h"
#include "items/item_table.h"
#include "items/result_eval.h"
#include "config/settings.h"
#include "metrics/metrics_server.h"
#include "metrics/web_config.h"
#include "monitor/apply_plan.h"
#include "monitor/instance.h"
#include "monitor/item_csv.h"
#include "monitor/item_status.h"
#include "monitor/monitor.h"
#include "probe/engine.h"

namespace varnell {

namespace {

using nlohmann::json;

constexpr int kControlDepthLimit = 4;

json Failure(const std::string& error) { return json{{"ok", false}, {"error", error}}; }


json StatusReply(bool running)
{
    json items = json::array();
    const std::vector<ItemStatus> all = CollectItemStatus();
    for (const ItemStatus& s : all) {
        // Without monitoring in this process nothing is known of the state.
        const ItemHealth health = running || s.health == ItemHealth::kSuspended ? s.health : ItemHealth::kNotProbed;
        items.push_back(json{{"name", s.name},
                             {"domain", s.domain},
                             {"type", s.type},
                             {"server", s.server},
                             {"state", HealthText(health)},
                             {"current_rtt_ms", s.hasRtt ? json(s.currentRtt) : json(nullptr)},
                             {"average_rtt_ms", s.hasRtt ? json(s.averageRtt) : json(nullptr)},
                             {"last_event", s.lastEvent.empty() ? json(nullptr) : json(s.lastEvent)},
                             {"detail", s.detail.empty() ? json(nullptr) : json(s.detail)}});
    }
    // Stopped monitoring probes nothing: the last states are no news of the service.
    const bool stopped = running && Engine().serviceStopped.load() != 0;
    json reply{{"ok", true},          {"store", StoreFolder()}, {"running", running},
               {"stopped", stopped},  {"exit", running && !stopped ? StatusExitCode(all) : 3},
               {"items", items}};
    if (stopped)
        reply["message"] = "monitoring is stopped";
    return reply;
}

json ListReply()
{
    json items = json::array();
    LockedItems locked = LockItems();
    ItemTable& t = *locked;
    for (std::uint32_t row = 0; row < t.rowCount && row < kItemSlots; ++row) {
        const std::uint32_t slot = t.rowToSlot[row];
        const DnsItem& item = t.items[slot];
        const ItemBlock& block = t.blocks[slot];
        items.push_back(json{{"name", block.name},
                             {"domain", block.domain},
                             {"type", RecordTypeName(item.typeIndex)},
                             {"server", ServerAddressText(item)},
                             {"interval_ms", item.interval},
                             {"timeout_ms", item.timeout},
                             {"continuous_lost", LostCount(item)},
                             {"suspended", (item.flags & kFlagSuspended) != 0},
                             {"description", block.description}});
    }
    return json{{"ok", true}, {"items", items}};
}

// Rows added at the end of the table since rowsBefore get their rows on screen.
void ShowNewRows(std::uint32_t rowsBefore)
{
    const MonitorLayer& layer = CurrentLayer();
    if (!layer.rowAdded)
        return;
    for (std::uint32_t row = rowsBefore; row < LockItems()->rowCount && row < kItemSlots; ++row)
        layer.rowAdded(LockItems()->items[LockItems()->rowToSlot[row]]);
}

json AddReply(const json& request, bool& changed)
{
    const auto fields = request.find("fields");
    if (fields == request.end() || !fields->is_object())
        return Failure("add needs the item's fields");
    std::map<std::string, std::string> columns;
    for (const auto& [key, value] : fields->items()) {
        if (!value.is_string())
            return Failure("the value of " + key + " is not a text");
        columns[key] = value.get<std::string>();
    }
    const std::uint32_t rowsBefore = LockItems()->rowCount;
    std::string reason;
    if (!AddItemFromFields(columns, reason))
        return Failure(reason);
    changed = true;
    ShowNewRows(rowsBefore);
    return json{{"ok", true}};
}

enum class NamedAction { kDelete, kSuspend, kResume };

json NamedReply(const json& request, NamedAction action, bool& changed)
{
    const std::string name = RequestText(request, "name");
    if (name.empty())
        return Failure("no item name given");
    LockedItems locked = LockItems();
    ItemTable& t = *locked;
    int count = 0;
    for (std::uint32_t row = 0; row < t.rowCount && row < kItemSlots;) {
        const std::uint32_t slot = t.rowToSlot[row];
        if (t.blocks[slot].name != name) {
            ++row;
            continue;
        }
        ++count;
        if (action == NamedAction::kSuspend) {
            SuspendItem(slot);
        } else if (action == NamedAction::kResume) {
            ResumeItem(slot);
        } else {
            // The list on screen drops the row first, so the two never disagree.
            const MonitorLayer& layer = CurrentLayer();
            if (layer.removeRow && !layer.removeRow(row)) {
                changed = count > 1; // the ones before it are gone, and are saved so
                return Failure("the window refused to delete " + name);
            }
            DeleteItemRow(row);
            continue; // the next row moved into this one
        }
        ++row;
    }
    if (count == 0)
        return Failure("no item is named " + name);
    changed = true;
    return json{{"ok", true}, {"count", count}};
}

json ImportReply(const json& request, bool& changed)
{
    const auto csv = request.find("csv");
    if (csv == request.end() || !csv->is_string())
        return Failure("import needs the CSV text");
    const std::uint32_t rowsBefore = LockItems()->rowCount;
    std::vector<CsvProblem> problems;
    const int added = ImportItemsCsv(csv->get_ref<const std::string&>(), problems);
    if (added < 0) {
        json list = json::array();
        for (const CsvProblem& p : problems)
            list.push_back(json{{"line", p.line}, {"reason", p.reason}});
        json reply = Failure("nothing was imported");
        reply["problems"] = list;
        return reply;
    }
    changed = added > 0;
    ShowNewRows(rowsBefore);
    return json{{"ok", true}, {"imported", added}};
}

json ApplyReply(const json& request, bool& changed)
{
    const auto csv = request.find("csv");
    if (csv == request.end() || !csv->is_string())
        return Failure("apply needs the CSV text");
    const auto flag = [&](const char* key) {
        const auto it = request.find(key);
        return it != request.end() && it->is_boolean() && it->get<bool>();
    };
    const ApplyResult result = ApplyItemsCsv(csv->get_ref<const std::string&>(), flag("prune"), flag("dry_run"));
    changed = result.changed;
    if (!result.problems.empty()) {
        json list = json::array();
        for (const CsvProblem& p : result.problems)
            list.push_back(json{{"line", p.line}, {"reason", p.reason}});
        json reply = Failure(changed ? "the list was changed only in part" : "nothing was changed");
        reply["problems"] = list;
        return reply;
    }
    return json{{"ok", true}, {"plan", result.plan}, {"changed", changed}};
}

// Shows the metrics endpoint's settings, or sets them when the request names
// them: both are checked before anything changes, and a running instance
// serves the new ones at once.
json MetricsReply(const json& request, bool running, bool& changed)
{
    ExtraSettings& extra = CurrentSettings().extra;
    if (request.contains("listen")) {
        const std::string listen = RequestText(request, "listen");
        const std::string webConfig = RequestText(request, "web_config");
        ListenAddress where;
        if (!listen.empty() && !ParseListenAddress(listen, where))
            return Failure("\"" + listen + "\" is not ADDRESS:PORT (an IPv6 address in brackets)");
        if (!webConfig.empty() && webConfig[0] != '/')
            return Failure("the web configuration must be named by an absolute path");
        WebConfig config;
        if (std::string why; !webConfig.empty() && !LoadWebConfig(webConfig, config, why))
            return Failure(why);
        extra.metricsListen = listen;
        extra.metricsWebConfig = webConfig;
        changed = true;
        if (running) {
            SetMetricsWebConfig(webConfig);
            StartMetricsServer(listen);
        }
    }
    json reply{{"ok", true}, {"listen", extra.metricsListen}, {"web_config", extra.metricsWebConfig}};
    if (running)
        reply["serving"] = MetricsPort() != 0;
    return reply;
}

json Run(const json& request, bool running, bool& changed)
{
    const std::string cmd = RequestText(request, "cmd");
    if (cmd == "ping" || cmd == "show") {
        const MonitorLayer& layer = CurrentLayer();
        bool window = static_cast<bool>(layer.showWindow);
        if (cmd == "show" && window)
            window = layer.showWindow();
        return json{{"ok", true}, {"pid", getpid()}, {"window", window}, {"store", StoreFolder()}};
    }
    if (cmd == "status")
        return StatusReply(running);
    if (cmd == "list")
        return ListReply();
    const bool dryRun = request.contains("dry_run") && request["dry_run"].is_boolean() && request["dry_run"].get<bool>();
    const bool changes = cmd == "add" || cmd == "delete" || cmd == "suspend" || cmd == "resume" || cmd == "import" ||
                         (cmd == "apply" && !dryRun) || (cmd == "metrics" && request.contains("listen"));
    if (changes && CurrentLayer().itemsBusy && CurrentLayer().itemsBusy())
        return Failure("a dialog of the window is open; try again once it is closed");
    // Nothing is changed that could not be kept.
    if (std::string why; changes && !StoreTakesChanges(why))
        return Failure(why);
    if (cmd == "add")
        return AddReply(request, changed);
    if (cmd == "delete")
        return NamedReply(request, NamedAction::kDelete, changed);
    if (cmd == "suspend")
        return NamedReply(request, NamedAction::kSuspend, changed);
    if (cmd == "resume")
        return NamedReply(request, NamedAction::kResume, changed);
    if (cmd == "import")
        return ImportReply(request, changed);
    if (cmd == "apply")
        return ApplyReply(request, changed);
    if (cmd == "metrics")
        return MetricsReply(request, running, changed);
    if (cmd == "export") {
        std::string csv = ExportItemsCsv();
        if (std::string tooLarge = CsvSizeProblem(csv.size()); !tooLarge.empty())
            return Failure(tooLarge);
        return json{{"ok", true}, {"csv", std::move(csv)}};
    }
    if (cmd == "events")
        return Failure(running ? "events are served by the control socket" : "no instance runs, so there are no events");
    return Failure(cmd.empty() ? "the request names no command" : "unknown command " + cmd);
}

} // namespace

json ParseControlRequest(std::string_view line)
{
    // Requests are objects of plain members: anything nested deeper is kept out
    // of the parsed value, so no line can build a tower of nested arrays.
    const json::parser_callback_t shallow = [](int depth, json::parse_event_t event, json&) {
        return depth <= kControlDepthLimit ||
               (event != json::parse_event_t::object_start && event != json::parse_event_t::array_start);
    };
    json request = json::parse(line, shallow, false);
    if (!request.is_object())
        return json(json::value_t::discarded);
    return request;
}

// Requests are untrusted: no member of the wrong kind makes the library throw.
std::string RequestText(const json& request, const char* key)
{
    const auto it = request.find(key);
    return it != request.end() && it->is_string() ? it->get<std::string>() : std::string();
}

namespace {

// Item names are the operator's bytes and need not be UTF-8.
std::string Dump(const json& reply) { return reply.dump(-1, ' ', false, json::error_handler_t::replace); }

} // namespace

ControlOutcome RunControlRequest(std::string_view line, bool running)
{
    ControlOutcome out;
    const json request = ParseControlRequest(line);
    json reply;
    if (request.is_discarded())
        reply = Failure("the request is not a JSON object");
    else
        reply = Run(request, running, out.changed);
    // Stored before it is acknowledged: a crash or a kill after the answer
    // loses nothing the client was told is done.
    std::string why;
    if (out.changed && !SaveStoreNow(why))
        reply = Failure(running ? "the change is in effect but could not be saved (" + why +
                                      "); it is lost when the program stops unless a later save succeeds"
                                : "the change could not be saved (" + why + "); nothing was changed");
    out.reply = Dump(reply);
    return out;
}

std::string RunRequestOnStore(std::string_view line)
{
    LoadStoreAlone();
    if (std::string why; !StoreTakesChanges(why))
        return Dump(Failure(why));
    return RunControlRequest(line, false).reply;
}

} // namespace varnell
