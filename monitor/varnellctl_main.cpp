// varnellctl: the command line of the monitor. It talks to the running
// instance over the control socket; when none runs it works on the store
// itself, under the store's lock, with the same request code the instance uses.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "base/utf8.h"
#include "config/settings_store.h"
#include "monitor/control_commands.h"
#include "monitor/instance.h"
#include "monitor/item_csv.h"
#include "monitor/monitor.h"

namespace varnell {
namespace {

using nlohmann::json;

// Exit statuses: the status command's are those of monitoring plugins.
constexpr int kExitError = 1;
constexpr int kExitUsage = 64;
constexpr int kExitNoAnswer = 3;
// apply --dry-run: the list differs from the file (a drift check in CI).
constexpr int kExitWouldChange = 2;

struct CommandHelp {
    const char* name;
    const char* synopsis;
    const char* text;
};

constexpr CommandHelp kCommands[] = {
    {"status", "status [--json]",
     "One row per item: name, domain, type, server, state (up, failing, down,\n"
     "suspended, not yet probed), current and average round trip, last event.\n"
     "Exit status: 0 all up (suspended ones aside), 1 some failing or not yet\n"
     "probed, 2 some down, 3 unknown: no instance runs, or monitoring is stopped."},
    {"list", "list [--json]", "The items and their settings, in list order."},
    {"add", "add NAME DOMAIN TYPE SERVER [COLUMN=VALUE...]",
     "Adds one item; SERVER is an IPv4 or IPv6 address. COLUMN is one of the CSV\n"
     "columns (interval_ms, timeout_ms, continuous_lost, notify_down, notify_up,\n"
     "notify_change, recursion_desired, high_priority, suspended, description,\n"
     "recursion_available, expect_mode, expect, expect_rcode, dnssec, sig_warn_days,\n"
     "transport, tls_name, url, tls_pin, cert_warn_days); the others take the item\n"
     "dialog's defaults. NAME, DOMAIN, TYPE and SERVER are given once, in their\n"
     "places; expect may be given once per value:\n"
     "  add shop shop.example CAA 192.0.2.53 expect_mode=contains \\\n"
     "      'expect=0 issue \"ca.example\"' 'expect=0 iodef \"mailto:ops@shop.example\"'\n"
     "Over DNS over HTTPS, for instance:\n"
     "  add doh www.example A 192.0.2.53 transport=https url=https://dns.example/dns-query"},
    {"delete", "delete NAME", "Deletes the item of that name."},
    {"suspend", "suspend NAME", "Stops probing the item of that name."},
    {"resume", "resume NAME", "Probes the item of that name again."},
    {"events", "events [--follow]",
     "The latest events of the running instance; --follow waits for more, and says\n"
     "\"N events were missed\" where it fell so far behind that some were dropped."},
    {"import", "import FILE",
     "Adds every item of a CSV file (\"-\" for standard input), or none: every bad\n"
     "row is reported with its line number."},
    {"apply", "apply FILE [--dry-run] [--prune]",
     "Makes the items match a CSV file (\"-\" for standard input), matched by name:\n"
     "adds the missing, rewrites the changed and, with --prune, deletes the items the\n"
     "file does not name. Prints the plan (+ NAME, ~ NAME: COLUMN OLD \u2192 NEW,\n"
     "- NAME) or \"no changes\"; all of it is saved before it answers, or nothing is\n"
     "changed (a bad row is named with its line). --dry-run only prints the plan and\n"
     "exits 2 when something would change, 0 when nothing would."},
    {"metrics", "metrics [ADDRESS:PORT|off [WEB_CONFIG]]",
     "Shows where the instance serves Prometheus metrics, or sets it: ADDRESS:PORT\n"
     "(127.0.0.1:9353, [::1]:9353, 0.0.0.0:9353) or off, and optionally the absolute\n"
     "path of a web configuration file (TLS and bcrypt logons, as Prometheus'\n"
     "exporters read it; docs/deploy.md). Both are checked before they are saved."},
    {"export", "export [FILE]", "Writes every item as CSV, sorted by name, to FILE or to standard output."},
};

void PrintUsage(std::FILE* to)
{
    std::fputs("Usage: varnellctl [--instance NAME | --store FOLDER] COMMAND [ARGUMENTS]\n"
               "  --instance NAME  the system service varnell-monitor@NAME (store in\n"
               "                   /var/lib/varnell/NAME); run it as that service's user\n"
               "  --store FOLDER   the store in FOLDER instead of ~/.config/varnell\n"
               "Commands (varnellctl COMMAND --help for each):\n",
               to);
    for (const CommandHelp& c : kCommands)
        std::fprintf(to, "  %s\n", c.synopsis);
}

int Fail(const std::string& message, int code = kExitError)
{
    std::fprintf(stderr, "varnellctl: %s\n", message.c_str());
    return code;
}

bool ReadFile(const std::string& path, std::string& text, std::string& error)
{
    std::ifstream file;
    std::istream* in = &std::cin;
    if (path != "-") {
        file.open(path, std::ios::binary);
        if (!file) {
            error = path + ": " + std::strerror(errno);
            return false;
        }
        in = &file;
    }
    std::ostringstream buffer;
    buffer << in->rdbuf();
    text = buffer.str();
    if (std::string tooLarge = CsvSizeProblem(text.size()); !tooLarge.empty()) {
        error = path + ": " + tooLarge;
        return false;
    }
    // The request is JSON, which carries only UTF-8: anything else would reach
    // the instance as U+FFFD, changed names and all, instead of being refused.
    std::size_t line = 1;
    for (std::size_t start = 0; start < text.size(); ++line) {
        const std::size_t end = std::min(text.find('\n', start), text.size());
        if (!IsUtf8(std::string_view(text).substr(start, end - start))) {
            error = path + ":" + std::to_string(line) + ": not valid UTF-8; nothing was changed";
            return false;
        }
        start = end + 1;
    }
    return true;
}

// Works on the store alone: load, carry out, save when something changed.
std::string RunOnStore(const std::string& request) { return RunRequestOnStore(request); }

std::string Cell(const json& value)
{
    if (value.is_null())
        return "-";
    if (value.is_string())
        return value.get<std::string>();
    if (value.is_boolean())
        return value.get<bool>() ? "1" : "0";
    return value.dump();
}

// Prints rows as columns padded to their widest cell (the last one unpadded).
void PrintTable(const std::vector<std::pair<const char*, const char*>>& columns, const json& items)
{
    std::vector<std::vector<std::string>> rows;
    std::vector<std::size_t> widths;
    std::vector<std::string> head;
    for (const auto& [title, key] : columns) {
        head.emplace_back(title);
        widths.push_back(head.back().size());
    }
    rows.push_back(head);
    for (const json& item : items) {
        std::vector<std::string> row;
        for (std::size_t i = 0; i < columns.size(); ++i) {
            row.push_back(Cell(item.value(columns[i].second, json())));
            widths[i] = std::max(widths[i], row.back().size());
        }
        rows.push_back(std::move(row));
    }
    for (const auto& row : rows) {
        std::string line;
        for (std::size_t i = 0; i < row.size(); ++i) {
            line += row[i];
            if (i + 1 < row.size())
                line += std::string(widths[i] - row[i].size() + 2, ' ');
        }
        std::printf("%s\n", line.c_str());
    }
}

void PrintEvents(const json& reply)
{
    if (const auto missed = reply.find("missed"); missed != reply.end() && missed->is_number_unsigned())
        std::printf("%s events were missed\n", missed->dump().c_str());
    const auto events = reply.find("events");
    if (events == reply.end() || !events->is_array())
        return;
    for (const json& e : *events)
        std::printf("%s  %s\n", Cell(e.value("time", json())).c_str(), Cell(e.value("text", json())).c_str());
    std::fflush(stdout);
}

int FollowEvents(const std::string& request)
{
    std::string refusal;
    const int fd = ConnectInstance(&refusal);
    if (!refusal.empty())
        Fail(refusal);
    if (fd < 0)
        return Fail("no instance runs, so there are no events");
    ControlLines pending;
    std::string line;
    if (!SendControlLine(fd, request))
        return Fail("the instance went away");
    while (ReadControlLine(fd, pending, line, -1)) {
        const json reply = json::parse(line, nullptr, false);
        if (!reply.is_object() || !reply.value("ok", false)) {
            close(fd);
            return Fail(reply.is_object() ? Cell(reply.value("error", json())) : "unreadable reply");
        }
        PrintEvents(reply);
    }
    close(fd);
    return Fail("the instance went away");
}

int Main(int argc, char** argv)
{
    int first = 1;
    while (first + 1 < argc && (std::strcmp(argv[first], "--instance") == 0 || std::strcmp(argv[first], "--store") == 0)) {
        if (std::string error; !SelectInstance(argv[first + 1], argv[first][2] == 's', error))
            return Fail(error, kExitUsage);
        first += 2;
    }
    if (argc <= first)
        return PrintUsage(stderr), kExitUsage;
    const std::string command = argv[first];
    if (command == "--help" || command == "-h" || command == "help")
        return PrintUsage(stdout), 0;
    const CommandHelp* help = nullptr;
    for (const CommandHelp& c : kCommands)
        if (command == c.name)
            help = &c;
    if (help == nullptr)
        return PrintUsage(stderr), Fail("unknown command " + command, kExitUsage);
    std::vector<std::string> args(argv + first + 1, argv + argc);
    bool jsonOut = false, follow = false, dryRun = false, prune = false;
    std::vector<std::string> words;
    for (const std::string& a : args) {
        if (a == "--help" || a == "-h") {
            std::printf("Usage: varnellctl %s\n%s\n", help->synopsis, help->text);
            return 0;
        }
        if (a == "--json" && (command == "status" || command == "list"))
            jsonOut = true;
        else if (a == "--follow" && command == "events")
            follow = true;
        else if (a == "--dry-run" && command == "apply")
            dryRun = true;
        else if (a == "--prune" && command == "apply")
            prune = true;
        else if (a.size() > 1 && a[0] == '-' && a != "-")
            return Fail("unknown option " + a + "; see varnellctl " + command + " --help", kExitUsage);
        else
            words.push_back(a);
    }

    json request{{"cmd", command}};
    std::size_t wordsWanted = 0, wordsAllowed = 0;
    if (command == "delete" || command == "suspend" || command == "resume") {
        wordsWanted = wordsAllowed = 1;
        if (!words.empty())
            request["name"] = words[0];
    } else if (command == "import" || command == "apply") {
        wordsWanted = wordsAllowed = 1;
    } else if (command == "export") {
        wordsAllowed = 1;
    } else if (command == "metrics") {
        wordsAllowed = 2;
        if (!words.empty())
            request["listen"] = words[0] == "off" ? std::string() : words[0];
        if (words.size() > 1)
            request["web_config"] = words[1];
    } else if (command == "add") {
        wordsWanted = 4;
        wordsAllowed = words.size();
        json fields = json::object();
        const char* required[] = {"name", "domain", "type", "server"};
        for (std::size_t i = 0; i < words.size(); ++i) {
            if (i < 4) {
                fields[required[i]] = words[i];
                continue;
            }
            const auto eq = words[i].find('=');
            if (eq == std::string::npos || eq == 0)
                return Fail("expected COLUMN=VALUE, got " + words[i], kExitUsage);
            const std::string column = words[i].substr(0, eq);
            // Values are one a line, however many are given.
            if (column == "expect" && fields.contains(column)) {
                fields[column] = fields[column].get<std::string>() + "\n" + words[i].substr(eq + 1);
                continue;
            }
            // Silently replacing the NAME given before would add another item than the one named.
            if (fields.contains(column))
                return Fail(column + " is given twice", kExitUsage);
            fields[column] = words[i].substr(eq + 1);
        }
        request["fields"] = fields;
    }
    for (std::size_t i = 0; i < words.size(); ++i)
        if (!IsUtf8(words[i]))
            return Fail("argument " + std::to_string(i + 1) + " is not valid UTF-8", kExitUsage);
    if (words.size() < wordsWanted || words.size() > wordsAllowed)
        return Fail(std::string("usage: varnellctl ") + help->synopsis, kExitUsage);
    if (command == "import" || command == "apply") {
        std::string text, error;
        if (!ReadFile(words[0], text, error))
            return Fail(error);
        request["csv"] = text;
    }
    if (command == "apply") {
        request["prune"] = prune;
        request["dry_run"] = dryRun;
    }
    if (command == "events")
        request["follow"] = follow;
    const std::string line = request.dump(-1, ' ', false, json::error_handler_t::replace);
    if (follow)
        return FollowEvents(line);

    std::string replyText, error;
    StoreLock lock;
    // A change that went out without an answer may have been made: sending it
    // again could answer "already exists" for an add that succeeded.
    const bool changes = command == "add" || command == "delete" || command == "suspend" || command == "resume" ||
                         command == "import" || (command == "apply" && !dryRun) ||
                         (command == "metrics" && !words.empty());
    const Claim claim = ClaimStore(lock, line, replyText, error, !changes);
    const int failure = command == "status" ? kExitNoAnswer : kExitError;
    switch (claim) {
    case Claim::kOurs: replyText = RunOnStore(line); break;
    case Claim::kOtherAnswered: break;
    case Claim::kOtherSilent:
        return Fail("the store is held by a process that does not answer (" + StoreLockPath() + ")" +
                        (error.empty() ? "" : "; " + error),
                    failure);
    case Claim::kUnanswered:
        return Fail(error + "; see varnellctl list", failure);
    case Claim::kFailed: return Fail(error, failure);
    }
    if (!error.empty())
        Fail(error); // a socket that was not trusted, though another answered
    UnlockStore(lock);

    const json reply = json::parse(replyText, nullptr, false);
    if (!reply.is_object())
        return Fail("unreadable reply: " + replyText, failure);
    if (!reply.value("ok", false)) {
        if (const auto problems = reply.find("problems"); problems != reply.end() && problems->is_array())
            for (const json& p : *problems)
                std::fprintf(stderr, "%s:%s: %s\n", words.empty() ? "-" : words[0].c_str(),
                             Cell(p.value("line", json())).c_str(), Cell(p.value("reason", json())).c_str());
        return Fail(Cell(reply.value("error", json())), failure);
    }

    if (command == "status" || command == "list") {
        const json items = reply.value("items", json::array());
        if (jsonOut) {
            json out = reply;
            out.erase("ok");
            std::printf("%s\n", out.dump(2, ' ', false, json::error_handler_t::replace).c_str());
        } else if (command == "status") {
            if (const auto message = reply.find("message"); message != reply.end() && message->is_string())
                std::printf("%s\n", message->get_ref<const std::string&>().c_str());
            PrintTable({{"NAME", "name"}, {"DOMAIN", "domain"}, {"TYPE", "type"}, {"SERVER", "server"},
                        {"STATE", "state"}, {"RTT_MS", "current_rtt_ms"}, {"AVG_MS", "average_rtt_ms"},
                        {"LAST_EVENT", "last_event"}},
                       items);
        } else {
            PrintTable({{"NAME", "name"}, {"DOMAIN", "domain"}, {"TYPE", "type"}, {"SERVER", "server"},
                        {"INTERVAL_MS", "interval_ms"}, {"TIMEOUT_MS", "timeout_ms"}, {"LOST", "continuous_lost"},
                        {"SUSPENDED", "suspended"}, {"DESCRIPTION", "description"}},
                       items);
        }
        if (command == "status") {
            const json code = reply.value("exit", json(kExitNoAnswer));
            return code.is_number_integer() ? code.get<int>() : kExitNoAnswer;
        }
        return 0;
    }
    if (command == "events")
        PrintEvents(reply);
    if (command == "import")
        std::printf("imported %s items\n", Cell(reply.value("imported", json())).c_str());
    if (command == "metrics") {
        const std::string listen = Cell(reply.value("listen", json("")));
        const std::string webConfig = Cell(reply.value("web_config", json("")));
        if (listen.empty()) {
            std::printf("metrics are off\n");
            return 0;
        }
        std::printf("metrics at %s%s%s\n", listen.c_str(), webConfig.empty() ? "" : ", web configuration ",
                    webConfig.c_str());
        if (reply.value("serving", true) == false)
            return Fail("not served: see varnellctl events");
        return 0;
    }
    if (command == "apply") {
        const json plan = reply.value("plan", json::array());
        for (const json& line : plan)
            std::printf("%s\n", Cell(line).c_str());
        if (plan.empty())
            std::printf("no changes\n");
        return dryRun && !plan.empty() ? kExitWouldChange : 0;
    }
    if (command == "export") {
        const std::string csv = Cell(reply.value("csv", json("")));
        if (words.empty()) {
            std::fwrite(csv.data(), 1, csv.size(), stdout);
        } else {
            std::ofstream out(words[0], std::ios::binary | std::ios::trunc);
            if (!(out << csv) || !out.flush())
                return Fail(words[0] + ": cannot be written");
        }
    }
    return 0;
}

} // namespace
} // namespace varnell

int main(int argc, char** argv) { return varnell::Main(argc, argv); }
