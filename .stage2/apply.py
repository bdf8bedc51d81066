import sys
import os
root=os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', '')
def edit(path, pairs):
    p=root+path
    s=open(p).read()
    for a,b in pairs:
        if s.count(a)!=1:
            print("MISSING/AMBIGUOUS in",path,":",a[:80]); continue
        s=s.replace(a,b)
    open(p,'w').write(s)

# kSlotTransport, the probe/items links and probe/transport_probe.* are in the tree already.
edit('probe/request_table.cpp', [(
'''    RequestSlot& slot = Slots()[slotIndex];
    if (SendQueryBytes(slot.query, length, slot.destination) != static_cast<ssize_t>(length))
        return 0;
    slot.transmissions = 1;
    return length;''','''    RequestSlot& slot = Slots()[slotIndex];
    // A follow-up to the item's own server goes the way its probe went.
    if (OverTransport(SlotOf(item)) && slot.destination == ServerPeer(item)) {
        slot.flags |= kSlotTransport;
        if (!SendOverTransport(item, slotIndex, slot, length))
            return 0;
    } else if (SendQueryBytes(slot.query, length, slot.destination) != static_cast<ssize_t>(length)) {
        return 0;
    }
    slot.transmissions = 1;
    return length;'''),
('#include "probe/request_table.h"\n','#include "probe/request_table.h"\n\n#include "items/transport_state.h"\n#include "probe/transport_probe.h"\n')])
edit('probe/scheduler.cpp', [(
'''    if (length == 0) {
        SendFailed(items, i);
        CountProbe(item, now);
        return true;
    }
''','''    if (length == 0) {
        SendFailed(items, i);
        CountProbe(item, now);
        return true;
    }
    // Over TCP, TLS or HTTPS the query goes to the transport thread, which
    // answers it whatever becomes of it; it joins none of the datagrams.
    if (OverTransport(i)) {
        slot.flags |= kSlotTransport;
        if (SendOverTransport(item, static_cast<std::uint32_t>(s), slot, length)) {
            slot.transmissions = 1;
            slot.queryLength = length;
            RaiseOutstanding(item);
            ArmRequestSlot(slot, TickCount(), item.timeout, now);
        } else {
            ReleaseRequestSlot(slot);
            SendFailed(items, i);
        }
        CountProbe(item, now);
        return true;
    }
'''),('''    const std::uint32_t itemSlot = slot.itemSlot;
    DnsItem& item = items.items[itemSlot];
''','''    // The transport answers its queries itself, at their time-out at the
    // latest; one it lost (stopped, its inbox full) ends here, a grace later.
    if (SentOverTransport(slot) && !TickReached(now, slot.expiry + kTransportGraceMs))
        return;
    const std::uint32_t itemSlot = slot.itemSlot;
    DnsItem& item = items.items[itemSlot];
'''),('#include "probe/request_table.h"\n','#include "probe/request_table.h"\n#include "probe/transport_probe.h"\n#include "items/transport_state.h"\n')])
edit('probe/engine_threads.cpp', [('''    StopTcpQueries();
''','''    StopTcpQueries();
    StopTransportProbes();
'''),('#include "probe/engine_threads.h"\n','#include "probe/engine_threads.h"\n\n#include "probe/transport_probe.h"\n')])
edit('items/item_table.cpp', [('''    for (std::uint32_t i = 0; i < kItemSlots; ++i)
        ResetSlot(i);
    t.highWater = 0;''','''    for (std::uint32_t i = 0; i < kItemSlots; ++i)
        ResetSlot(i);
    ResetTransportStates();
    t.highWater = 0;'''),('''    // The block's texts were reset with it: the record's counts of them follow.
    item.reservedTextCount = 0;''','''    // The block's texts were reset with it: the record's counts of them follow,
    // and so does what was kept beside them.
    item.reservedTextCount = 0;
    TransportOf(slot) = TransportState{};'''),('#include "items/item_table.h"\n','#include "items/item_table.h"\n\n#include "items/transport_state.h"\n')])
edit('config/settings_blob.cpp', [('''        table.items[loaded] = item;
        if (!whole) {''','''        table.items[loaded] = item;
        LoadItemTransport(table.items[loaded], block);
        if (const std::string why = CheckItemTransport(TransportOf(loaded).settings); !why.empty()) {
            table.items[loaded].flags |= kFlagSuspended;
            ItemLoadNotes().push_back(block.name + " is suspended: its stored transport cannot be used: " + why);
        }
        if (!whole) {'''),('#include "config/settings_blob.h"\n','#include "config/settings_blob.h"\n\n#include "items/transport_state.h"\n')])
edit('monitor/monitor.cpp', [('''        SetQueryEdnsSize(CurrentSettings().extra.queryEdns);
''','''        SetQueryEdnsSize(CurrentSettings().extra.queryEdns);
        SetTransportCaFile(CurrentSettings().extra.dnsCaFile);
'''),('#include "monitor/monitor.h"\n','#include "monitor/monitor.h"\n\n#include "probe/transport_probe.h"\n')])
for cm,old,new in [('probe/CMakeLists.txt','PUBLIC varnell_items varnell_dns','PUBLIC varnell_items varnell_transport varnell_dns'),
                   ('items/CMakeLists.txt','PUBLIC varnell_dns varnell_base','PUBLIC varnell_transport varnell_dns varnell_base')]:
    edit(cm,[(old,new)])
print("done")
edit('items/result_eval.cpp', [('''const char* ResultCodeText(int code)
{
    if (code >= 0 && code < kCodeTextCount)
        return kCodeTexts[code];''','''const char* ResultCodeText(int code)
{
    if (code >= 0 && code < kCodeTextCount)
        return kCodeTexts[code];
    // The transports' codes, whose texts end in a NUL as literals do.
    if (const std::string_view text = TransportResultText(code); !text.empty())
        return text.data();'''),('#include "items/result_eval.h"\n','#include "items/result_eval.h"\n\n#include "transport/transport.h"\n')])
edit('items/reply_detail.cpp', [('''std::vector<DetailRun> ReplyDetailOf(const DnsItem& item)
{
    std::lock_guard lock(EngineLock());
    return BuildReplyDetail(BlockOf(item), AnsweredOverTcp(SlotOf(item)), IsAaaaItem(item));
}''','''std::vector<DetailRun> ReplyDetailOf(const DnsItem& item)
{
    std::lock_guard lock(EngineLock());
    const TransportState& transport = TransportOf(item);
    if (transport.settings.transport == Transport::kUdp)
        return BuildReplyDetail(BlockOf(item), AnsweredOverTcp(SlotOf(item)), IsAaaaItem(item));
    std::vector<DetailRun> runs = BuildReplyDetail(BlockOf(item), false, IsAaaaItem(item), transport.settings.transport);
    if (transport.lastCode >= 0)
        runs.push_back({DetailColour::Red, "\\r\\n" + std::string(ResultCodeText(transport.lastCode)) + ": " +
                                               transport.failure + "\\r\\n"});
    return runs;
}'''),('''std::vector<DetailRun> BuildReplyDetail(const ItemBlock& block, bool overTcp, bool ipv6)
{''','''std::vector<DetailRun> BuildReplyDetail(const ItemBlock& block, bool overTcp, bool ipv6)
{
    return BuildReplyDetail(block, overTcp, ipv6, overTcp ? Transport::kTcp : Transport::kUdp);
}

std::vector<DetailRun> BuildReplyDetail(const ItemBlock& block, bool overTcp, bool ipv6, Transport via)
{'''),('''    const char* format = overTcp ? "%d (TCP) Address:" : "%d Address:";''','''    // The transport an encrypted item's answers came over is named the same way.
    const char* format = via == Transport::kTls     ? "%d (TLS) Address:"
                         : via == Transport::kHttps ? "%d (HTTPS) Address:"
                         : overTcp || via == Transport::kTcp ? "%d (TCP) Address:"
                                                             : "%d Address:";'''),
('#include "items/reply_detail.h"\n','#include "items/reply_detail.h"\n\n#include "items/transport_state.h"\n')])
edit('items/reply_detail.h', [('''std::vector<DetailRun> BuildReplyDetail(const ItemBlock& block, bool overTcp = false, bool ipv6 = false);''','''std::vector<DetailRun> BuildReplyDetail(const ItemBlock& block, bool overTcp = false, bool ipv6 = false);
// via: the item's transport, named after the count ("(TLS)", "(HTTPS)", "(TCP)").
std::vector<DetailRun> BuildReplyDetail(const ItemBlock& block, bool overTcp, bool ipv6, Transport via);'''),
('#include "items/item_table.h"\n','#include "items/item_table.h"\n#include "transport/transport.h"\n')])
print("done2")
edit('ui/items/item_dialog.h', [('''    QCheckBox* recursionAvailable = nullptr;
''','''    QCheckBox* recursionAvailable = nullptr;
    TransportGroup* transport = nullptr;
'''),('#include "ui/platform/edit_controls.h"\n','#include "ui/items/transport_group.h"\n#include "ui/platform/edit_controls.h"\n')])
edit('ui/items/item_dialog.cpp', [('''    fields->addWidget(monitor);
''','''    fields->addWidget(monitor);
    transport = new TransportGroup(this);
    fields->addWidget(transport);
'''),('''    recursionAvailable->setChecked(e.recursionAvailable);
}''','''    recursionAvailable->setChecked(e.recursionAvailable);
    {
        std::lock_guard lock(EngineLock());
        transport->Show(TransportOf(slot).settings);
    }
}'''),('''    return Text(CheckItemEntry(entry, target, edit));''','''    if (const std::string problem = CheckItemEntry(entry, target, edit); !problem.empty())
        return Text(problem);
    return Text(CheckItemTransport(transport->Read()));'''),
('#include "items/item_entry.h"\n','#include "items/item_entry.h"\n#include "items/transport_state.h"\n')])
edit('ui/items/CMakeLists.txt', [('varnell_alerts varnell_config varnell_items Qt6::Widgets','varnell_alerts varnell_config varnell_items varnell_transport Qt6::Widgets')])
print("done3")
