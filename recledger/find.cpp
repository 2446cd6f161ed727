#include "find.h"

#include "cli.h"
#include "json.h"
#include "query.h"
#include "show.h"

const char *Find_kindName(Ledger_eventKind kind)
{
    switch (kind) {
    case LEDGER_EVENT_CLAIM: return "claim";
    case LEDGER_EVENT_READBACK: return "read-back";
    case LEDGER_EVENT_VOID: return "void";
    case LEDGER_EVENT_RELEASE: return "release";
    }
    return "";
}

namespace {

std::string Or(const std::string &text, const char *otherwise)
{
    return text.empty() ? otherwise : Show_plain(text);
}

void Text_line(std::FILE *out, const char *field, const std::string &value)
{
    std::fprintf(out, "%-10s %s\n", field, value.c_str());
}

// One event of the history, after its time and kind.
std::string Event_text(const Ledger_event &event)
{
    std::string who = Or(event.who, "(unknown)");
    switch (event.kind) {
    case LEDGER_EVENT_CLAIM:
        return "station " + Show_plain(event.station) + ", login " + who;
    case LEDGER_EVENT_READBACK:
        return (event.verified ? std::string("verified")
                               : "failed, differs at offset " + std::to_string(event.differsAt)) +
               ", station " + Show_plain(event.station) + ", login " + who;
    case LEDGER_EVENT_VOID:
    case LEDGER_EVENT_RELEASE:
        return "by " + who + ": " + Show_plain(event.reason);
    }
    return "";
}

void Match_text(std::FILE *out, const Find_key &key, const Ledger_found &found)
{
    const Ledger_batchInfo &batch = found.batch;
    Text_line(out, "address", Mac_colons(found.mac).data());
    Text_line(out, "key", Show_plain(key.text));
    if (found.first != found.last)
        Text_line(out, "addresses", std::string(Mac_colons(found.first).data()) + "-" + Mac_colons(found.last).data());
    Text_line(out, "unit", std::to_string(found.unit));
    Text_line(out, "serial", Or(found.serial, "(none)"));
    Text_line(out, "image", Show_plain(found.sha256));
    Text_line(out, "batch", std::to_string(batch.id));
    Text_line(out, "started", Show_plain(batch.started));
    Text_line(out, "finished", Or(batch.finished, "(not finished)"));
    Text_line(out, "outdir", Show_plain(batch.outdir));
    Text_line(out, "template", Show_plain(batch.templateSha256));
    Text_line(out, "range", batch.ranged ? std::string(Mac_colons(batch.range.first).data()) + "-" +
                                               Mac_colons(batch.range.last).data()
                                         : "(not recorded)");
    Text_line(out, "host", Or(batch.host, "(not recorded)"));
    Text_line(out, "user", Or(batch.user, "(not recorded)"));
    if (found.history.empty())
        Text_line(out, "history", "(none)");
    else
        std::fputs("history\n", out);
    for (const Ledger_event &event : found.history)
        std::fprintf(out, "  %s  %-9s  %s\n", Show_plain(event.when).c_str(), Find_kindName(event.kind),
                     Event_text(event).c_str());
}

// "name": value, where value is text, or null when it is empty.
void Json_field(std::FILE *out, const char *name, const std::string &text)
{
    std::fprintf(out, "\"%s\": ", name);
    if (text.empty())
        std::fputs("null", out);
    else
        Json_string(out, text);
}

void Json_batch(std::FILE *out, const Ledger_batchInfo &batch)
{
    std::fprintf(out, "  \"batch\": {\"id\": %lld, ", batch.id);
    Json_field(out, "started", batch.started);
    std::fputs(", ", out);
    Json_field(out, "finished", batch.finished);
    std::fputs(", ", out);
    Json_field(out, "outdir", batch.outdir);
    std::fputs(", ", out);
    Json_field(out, "template_sha256", batch.templateSha256);
    if (batch.ranged)
        std::fprintf(out, ", \"range\": {\"first\": \"%s\", \"last\": \"%s\"}, ", Mac_colons(batch.range.first).data(),
                     Mac_colons(batch.range.last).data());
    else
        std::fputs(", \"range\": null, ", out);
    Json_field(out, "host", batch.host);
    std::fputs(", ", out);
    Json_field(out, "user", batch.user);
    std::fputs("},\n", out);
}

void Match_json(std::FILE *out, const Find_key &key, const Ledger_found &found)
{
    std::fputs("{\n  ", out);
    Json_field(out, "key", key.text);
    std::fprintf(out, ",\n  \"address\": \"%s\",\n  \"first\": \"%s\",\n  \"last\": \"%s\",\n  \"unit\": %zu,\n  ",
                 Mac_colons(found.mac).data(), Mac_colons(found.first).data(), Mac_colons(found.last).data(),
                 found.unit);
    Json_field(out, "serial", found.serial);
    std::fputs(",\n  ", out);
    Json_field(out, "image_sha256", found.sha256);
    std::fputs(",\n", out);
    Json_batch(out, found.batch);
    std::fputs("  \"history\": [", out);
    for (std::size_t i = 0; i < found.history.size(); ++i) {
        std::fputs(i == 0 ? "\n    " : ",\n    ", out);
        Find_jsonEvent(out, found.history[i]);
    }
    std::fputs(found.history.empty() ? "]\n}" : "\n  ]\n}", out);
}

} // namespace

void Find_jsonEvent(std::FILE *out, const Ledger_event &event)
{
    std::fprintf(out, "{\"event\": \"%s\", ", Find_kindName(event.kind));
    Json_field(out, "time", event.when);
    std::fputs(", ", out);
    Json_field(out, "who", event.who);
    if (event.kind == LEDGER_EVENT_CLAIM || event.kind == LEDGER_EVENT_READBACK) {
        std::fputs(", ", out);
        Json_field(out, "station", event.station);
    }
    if (event.kind == LEDGER_EVENT_READBACK && event.verified)
        std::fputs(", \"verdict\": \"verified\", \"differs_at\": null", out);
    else if (event.kind == LEDGER_EVENT_READBACK)
        std::fprintf(out, ", \"verdict\": \"failed\", \"differs_at\": %lld", event.differsAt);
    if (event.kind == LEDGER_EVENT_VOID || event.kind == LEDGER_EVENT_RELEASE) {
        std::fputs(", ", out);
        Json_field(out, "reason", event.reason);
    }
    std::fputc('}', out);
}

void Find_text(std::FILE *out, const std::vector<Find_result> &results)
{
    bool first = true;
    for (const Find_result &result : results) {
        for (const Ledger_found &found : result.matches) {
            if (!first)
                std::fputc('\n', out);
            first = false;
            Match_text(out, result.key, found);
        }
    }
}

void Find_json(std::FILE *out, const std::vector<Find_result> &results)
{
    std::fputs("{\"matches\": [", out);
    bool first = true;
    for (const Find_result &result : results) {
        for (const Ledger_found &found : result.matches) {
            std::fputs(first ? "\n" : ",\n", out);
            first = false;
            Match_json(out, result.key, found);
        }
    }
    std::fputs(first ? "]}\n" : "\n]}\n", out);
}

// A key that reads as an address but matches none may be a serial (twelve
// digits, say); it is looked up as one then.
bool Find_lookup(Ledger *ledger, const Find_key &key, std::vector<Ledger_found> &matches, Fault &fault)
{
    if (key.isMac && !Ledger_find(ledger, true, key.mac, key.text, matches, fault))
        return false;
    return !matches.empty() || Ledger_find(ledger, false, key.mac, key.text, matches, fault);
}

int Find_run(const Options &options)
{
    Ledger_ptr ledger{nullptr, Ledger_close};
    Fault fault{};
    if (!Ledger_open(options.ledger, ledger, fault, false))
        return Cli_fail(fault);
    std::vector<Find_result> results;
    for (const Find_key &key : options.keys) {
        results.push_back({key, {}});
        if (!Find_lookup(ledger.get(), key, results.back().matches, fault))
            return Cli_fail(fault);
    }
    ledger.reset();
    bool any = false;
    int status = 0;
    for (const Find_result &result : results) {
        any = any || !result.matches.empty();
        if (result.matches.empty()) {
            Fault_refuse(fault, result.key.text.c_str(), "%s",
                         result.key.isMac ? "an address that the ledger never issued"
                                          : "neither a MAC address nor a serial that the ledger knows");
            status = Cli_fail(fault);
        }
    }
    if (any)
        (options.json ? Find_json : Find_text)(stdout, results);
    return status;
}
