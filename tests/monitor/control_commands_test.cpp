// The control requests as the owner thread carries them out: items found by
// name, the list on screen kept in step, refusals while a dialog holds items,
// and requests of the wrong shape answered rather than obeyed.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "tests/support/recording_ui_channel.h"
#include "items/item_table.h"
#include "items/transport_state.h"
#include "monitor/control_commands.h"
#include "monitor/item_csv.h"
#include "monitor/monitor.h"
#include "probe/engine.h"

using namespace varnell;
using nlohmann::json;

namespace {

json Ask(const json& request)
{
    const ControlOutcome out = RunControlRequest(request.dump(), true);
    return json::parse(out.reply);
}

json Add(const std::string& name, const std::string& server = "127.0.0.1")
{
    return Ask({{"cmd", "add"},
                {"fields", {{"name", name}, {"domain", name + ".test"}, {"type", "A"}, {"server", server},
                            {"suspended", "1"}}}});
}

TEST(ControlCommands, NamedCommandsFollowTheListAndRefuseWhileADialogIsOpen)
{
    RecordingUiChannel desktop;
    SetUiChannel(&desktop);
    std::vector<std::string> shown; // the rows of a list on screen
    bool busy = false;
    MonitorLayer layer;
    layer.rowAdded = [&](DnsItem& item) { shown.push_back(BlockOf(item).name); };
    layer.removeRow = [&](std::uint32_t row) {
        shown.erase(shown.begin() + row);
        return true;
    };
    layer.itemsBusy = [&] { return busy; };
    StartMonitor(EngineOnlyOptions(), layer, false);

    for (const char* name : {"a", "b", "c"})
        ASSERT_EQ(Add(name)["ok"], true) << name;
    ASSERT_EQ(Add("d", "2001:DB8::0:53")["ok"], true);
    EXPECT_EQ(Add("b")["ok"], false); // names are unique
    EXPECT_EQ(Ask({{"cmd", "delete"}, {"name", "b"}})["count"], 1);
    EXPECT_EQ(Ask({{"cmd", "suspend"}, {"name", "c"}})["ok"], true);
    EXPECT_EQ(Ask({{"cmd", "resume"}, {"name", "c"}})["ok"], true);
    EXPECT_EQ((shown == std::vector<std::string>{"a", "c", "d"}), true);
    const json list = Ask({{"cmd", "list"}})["items"];
    ASSERT_EQ(list.size(), 3u);
    for (std::size_t row = 0; row < 3; ++row)
        EXPECT_EQ(list[row]["name"], shown[row]);
    EXPECT_EQ(list[1]["suspended"], false);
    EXPECT_EQ(list[2]["suspended"], true);
    EXPECT_EQ(list[2]["server"], "2001:db8::53");
    EXPECT_EQ(Ask({{"cmd", "status"}})["items"][2]["server"], "2001:db8::53");
    // A transport's failure is the item's detail; the others have none.
    {
        std::lock_guard lock(EngineLock());
        TransportState& t = TransportOf(LockItems()->rowToSlot[0]);
        t.lastCode = kResultCertificateExpired;
        t.failure = "the server's certificate is not accepted: certificate has expired";
    }
    const json withDetail = Ask({{"cmd", "status"}})["items"];
    EXPECT_EQ(withDetail[0]["detail"], "the server's certificate is not accepted: certificate has expired");
    EXPECT_TRUE(withDetail[1]["detail"].is_null());
    // Stopped monitoring probes nothing, so the last states say nothing of the service.
    Engine().serviceStopped.store(1);
    const json stopped = Ask({{"cmd", "status"}});
    EXPECT_EQ(stopped["exit"], 3);
    EXPECT_EQ(stopped["stopped"], true);
    EXPECT_EQ(stopped["message"], "monitoring is stopped");
    Engine().serviceStopped.store(0);
    EXPECT_EQ(Ask({{"cmd", "status"}})["stopped"], false);

    busy = true;
    for (const json& change : {json{{"cmd", "delete"}, {"name", "a"}}, json{{"cmd", "import"}, {"csv", ""}},
                               json{{"cmd", "suspend"}, {"name", "a"}}}) {
        const json reply = Ask(change);
        EXPECT_EQ(reply["ok"], false);
        EXPECT_NE(reply["error"].get<std::string>().find("dialog"), std::string::npos);
    }
    EXPECT_EQ(Ask({{"cmd", "status"}})["items"].size(), 3u); // reading goes on
    busy = false;

    // Wrong shapes are answered, never obeyed or thrown on.
    EXPECT_EQ(Ask({{"cmd", "delete"}, {"name", json::array({"a"})}})["ok"], false);
    EXPECT_EQ(Ask({{"cmd", "add"}, {"fields", {{"name", 5}}}})["ok"], false);
    EXPECT_EQ(Ask({{"cmd", "delete"}, {"name", "zz"}})["ok"], false);
    EXPECT_EQ(json::parse(RunControlRequest("{\"cmd\":\"list\"", true).reply)["ok"], false);
    EXPECT_EQ(json::parse(RunControlRequest("{\"cmd\":\"show\"}", true).reply)["window"], false);
    EXPECT_EQ(Ask({{"cmd", "list"}})["items"].size(), 3u);

    // No export is written that an import would refuse.
    std::string reason;
    ASSERT_TRUE(AddItemFromFields({{"name", "e"}, {"domain", ""}, {"type", "A"}, {"server", "127.0.0.1"},
                                   {"description", std::string(kItemsCsvLimit, 'x')}},
                                  reason))
        << reason;
    const json tooLarge = Ask({{"cmd", "export"}});
    EXPECT_EQ(tooLarge["ok"], false);
    EXPECT_NE(tooLarge["error"].get<std::string>().find("more than the 4194304 an import reads"), std::string::npos);

    StopMonitor();
    RemoveResultWindows();
    SetUiChannel(nullptr);
}

} // namespace
