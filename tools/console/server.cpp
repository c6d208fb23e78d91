// Routes of the console's web server.
//
// Every request passes the gate first (Host, token, and for POSTs the
// Origin). Reads are GETs; everything that sends a command is a POST. The
// page learns what happens from the event stream, so a request that runs
// long (a package, a big log) never leaves the page without news.
#include "server.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <httplib.h>
#include <unistd.h>

#include "assets.h"
#include "catalog.h"
#include "image.h"
#include "session/command_list.h"

enum {
    UPLOAD_LIMIT = 80 * 1024 * 1024,  // above the largest data package the appliance takes
    EVENT_WAIT_MS = 1000,
    // Each open page holds one thread with its event stream, and a kept-alive
    // connection holds another for a few seconds: enough for many pages.
    SERVER_THREADS = 32,
    KEEPALIVE_EVERY_WAITS = 15,
};

static const char kTokenPlaceholder[] = "__CONSOLE_TOKEN__";

// What the console commanded and the machine does not report back, by the
// panel entry it shows under.
static const struct {
    const char *alias;
    const char *panelKey;
} kCommandedRows[] = {
    {"set-speed", "speed_set"},         {"set-motor-mode", "mode"},     {"set-direction", "direction"},
    {"set-timer", "timer_set"},         {"set-heating", "heating"},     {"set-temp", "target_temperature"},
    {"heat-ctrl", "heat_ctrl"},         {"lock-lid", "lid_lock"},       {"relays", "relays"},
    {"set-transport", "transport_set"}, {"ambi-light", "light"},
};

static void sendJson(httplib::Response &res, const nlohmann::json &body, int status = 200)
{
    res.status = status;
    res.set_content(body.dump(), "application/json");
}

static void refuse(httplib::Response &res, int status, const std::string &why)
{
    res.status = status;
    res.set_content(why + "\n", "text/plain; charset=utf-8");
}

static nlohmann::json resultJson(const CommandResult &r)
{
    return {{"sent", r.sent}, {"ok", r.sent && !r.nak}, {"nak", r.nak}, {"text", r.text}, {"command", r.command}};
}

static std::string requestToken(const httplib::Request &req)
{
    if (req.has_header("X-Console-Token"))
        return req.get_header_value("X-Console-Token");
    return req.get_param_value("token");
}

// The page's file, with the token written into the HTML so that its own
// requests carry it.
static void serveAsset(const Asset &asset, const GateConfig &gate, httplib::Response &res)
{
    std::string body(reinterpret_cast<const char *>(asset.data), asset.size);
    std::string type = "text/javascript; charset=utf-8";
    if (strcmp(asset.kind, "html") == 0) {
        type = "text/html; charset=utf-8";
        for (size_t at = body.find(kTokenPlaceholder); at != std::string::npos;
             at = body.find(kTokenPlaceholder, at + gate.token.size()))
            body.replace(at, sizeof kTokenPlaceholder - 1, gate.token);
    } else if (strcmp(asset.kind, "css") == 0) {
        type = "text/css; charset=utf-8";
    }
    res.set_content(body, type);
}

// A file the page sent, kept in the work directory while it travels on.
struct TempFile {
    std::string path;
    ~TempFile()
    {
        if (!path.empty())
            unlink(path.c_str());
    }
    bool write(const std::string &dir, const std::string &content, std::string *error)
    {
        path = dir + "/upload.XXXXXX";
        int fd = mkostemp(path.data(), O_CLOEXEC);
        if (fd < 0) {
            *error = std::string("cannot keep the file: ") + strerror(errno);
            path.clear();
            return false;
        }
        size_t done = 0;
        while (done < content.size()) {
            ssize_t n = ::write(fd, content.data() + done, content.size() - done);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            done += size_t(n);
        }
        close(fd);
        if (done != content.size()) {
            *error = "cannot keep the file: the disk is full?";
            return false;
        }
        return true;
    }
};

// A rotated copy's number, as mifctl takes it: from `lowest` to 999.
static bool copyNumber(const std::string &text, int lowest, int *number)
{
    char *end = nullptr;
    const long value = strtol(text.c_str(), &end, 10);
    if (text.empty() || *end || value < lowest || value > 999)
        return false;
    *number = int(value);
    return true;
}

// Prepares an alias with mifctl's own rules, and runs it.
static CommandResult runAlias(ConsoleSession &session, Invocation inv, const std::string &transferId)
{
    CommandResult result;
    PreparedRequest prepared;
    std::string message;
    inv.kind = INVOKE_ALIAS;
    if (prepareInvocation(inv, &prepared, &message) != EXIT_ANSWER_OK) {
        result.command = inv.alias->command ? inv.alias->command : inv.alias->alias;
        result.text = message;
        return result;
    }
    return session.run(prepared, transferId);
}

static void handleCommand(ConsoleSession &session, const httplib::Request &req, httplib::Response &res)
{
    nlohmann::json body = nlohmann::json::parse(req.body, nullptr, false);
    if (body.is_discarded() || !body.is_object() || !body.contains("alias") || !body["alias"].is_string())
        return refuse(res, 400, "expected {\"alias\": NAME, \"args\": [...]}");
    Invocation inv;
    inv.alias = findAlias(body["alias"].get<std::string>());
    if (!inv.alias || (inv.alias->kind != ALIAS_PLAIN && inv.alias->kind != ALIAS_TEXT && inv.alias->kind != ALIAS_CLOCK &&
                       inv.alias->kind != ALIAS_SPEED && inv.alias->kind != ALIAS_WEIGHT))
        return refuse(res, 400, "no such command here");
    if (body.contains("args") && body["args"].is_array())
        for (const auto &arg : body["args"])
            if (arg.is_string())
                inv.args.push_back(arg.get<std::string>());
    CommandResult result = runAlias(session, inv, "");
    if (result.sent && !result.nak)
        for (const auto &row : kCommandedRows)
            if (strcmp(row.alias, inv.alias->alias) == 0) {
                std::string value;
                for (const std::string &arg : inv.args)
                    value += (value.empty() ? "" : " ") + arg;
                session.noteCommanded(row.panelKey, value);
            }
    sendJson(res, resultJson(result));
}

static void handleUpload(ConsoleSession &session, const std::string &workDir, const httplib::Request &req,
                         httplib::Response &res)
{
    const std::string kind = req.get_param_value("kind");
    const std::string id = req.get_param_value("id");
    if (!req.has_file("file"))
        return refuse(res, 400, "no file in the request");
    TempFile file, signature;
    std::string error;
    Invocation inv;
    if (!file.write(workDir, req.get_file_value("file").content, &error))
        return sendJson(res, {{"sent", false}, {"ok", false}, {"text", error}});
    if (kind == "log") {
        inv.alias = findAlias("set-log");
        inv.args = {req.get_param_value("name"), file.path};
        if (req.has_param("index") && !req.get_param_value("index").empty() &&
            !copyNumber(req.get_param_value("index"), 0, &inv.logIndex))
            return sendJson(res, {{"sent", false}, {"ok", false}, {"text", "the copy is a number from 0 to 999"}});
    } else if (kind == "display") {
        inv.alias = findAlias("display-img");
        inv.args = {file.path};
        inv.scale = true;
    } else if (kind == "sound") {
        inv.alias = findAlias("play-snd");
        inv.args = {file.path};
    } else if (kind == "package") {
        if (!req.has_file("sig"))
            return sendJson(res, {{"sent", false}, {"ok", false}, {"text", "choose the package's signature file too"}});
        if (!signature.write(workDir, req.get_file_value("sig").content, &error))
            return sendJson(res, {{"sent", false}, {"ok", false}, {"text", error}});
        inv.alias = findAlias("install-data");
        inv.args = {file.path};
        inv.signature = signature.path;
    } else {
        return refuse(res, 400, "unknown upload kind");
    }
    sendJson(res, resultJson(runAlias(session, inv, id)));
}

static void handleLogDownload(ConsoleSession &session, const std::string &workDir, const httplib::Request &req,
                              httplib::Response &res)
{
    Invocation inv;
    inv.alias = findAlias("get-log");
    inv.args = {req.get_param_value("name")};
    if (req.has_param("rotated") && !copyNumber(req.get_param_value("rotated"), 1, &inv.rotated))
        return sendJson(res, {{"sent", false}, {"ok", false}, {"text", "the copy is a number from 1 to 999"}}, 400);
    TempFile target;
    static std::atomic<unsigned> downloads{0};
    target.path = workDir + "/download." + std::to_string(++downloads);
    inv.output = target.path;
    CommandResult result = runAlias(session, inv, req.get_param_value("id"));
    if (!result.sent || result.nak)
        return sendJson(res, resultJson(result), result.sent ? 404 : 503);
    std::string content;
    FILE *in = fopen(target.path.c_str(), "rb");
    if (!in)
        return sendJson(res, {{"sent", true}, {"ok", false}, {"text", "the downloaded file is gone"}}, 500);
    char buffer[65536];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, in)) > 0)
        content.append(buffer, n);
    fclose(in);
    const LogRow *log = findLog(inv.args[0]);
    std::string name = log ? logFileName(*log) : "log";
    if (inv.rotated)
        name += "." + std::to_string(inv.rotated);
    res.set_header("Content-Disposition", "attachment; filename=\"" + name + "\"");
    res.set_content(content, "application/octet-stream");
}

static void handlePreview(const httplib::Request &req, httplib::Response &res)
{
    if (!req.has_file("file"))
        return refuse(res, 400, "no file in the request");
    const std::string &content = req.get_file_value("file").content;
    std::vector<uint8_t> frame;
    std::string error;
    if (!pngToFrame(reinterpret_cast<const uint8_t *>(content.data()), content.size(), true,
                    req.get_file_value("file").filename, &frame, &error))
        return refuse(res, 422, error);
    res.set_content(std::string(frame.begin(), frame.end()), "application/octet-stream");
}

static void streamEvents(ConsoleSession &session, EventHub &hub, httplib::Response &res)
{
    res.set_header("Cache-Control", "no-store");
    // Start with where things stand, then everything new.
    auto seq = std::make_shared<uint64_t>(hub.lastSeq());
    auto first = std::make_shared<bool>(true);
    auto idle = std::make_shared<int>(0);
    res.set_chunked_content_provider("text/event-stream", [&session, &hub, seq, first, idle](size_t,
                                                                                          httplib::DataSink &sink) {
        if (*first) {
            *first = false;
            std::string hello = sseFrame(HubEvent{0, "status", session.statusJson().dump()}) +
                                sseFrame(HubEvent{0, "panel", session.panelJson().dump()});
            return sink.write(hello.data(), hello.size());
        }
        std::vector<HubEvent> events;
        if (!hub.waitAfter(*seq, EVENT_WAIT_MS, &events)) {
            sink.done();
            return true;
        }
        std::string text;
        for (const HubEvent &event : events) {
            text += sseFrame(event);
            *seq = event.seq;
        }
        // A comment now and then finds a page that has gone away.
        if (text.empty() && ++*idle >= KEEPALIVE_EVERY_WAITS) {
            *idle = 0;
            text = ": still here\n\n";
        }
        return text.empty() || sink.write(text.data(), text.size());
    });
}

void installRoutes(httplib::Server &server, const GateConfig &gate, ConsoleSession &session, EventHub &hub,
                   const std::string &workDir)
{
    server.new_task_queue = [] { return new httplib::ThreadPool(SERVER_THREADS); };
    server.set_payload_max_length(UPLOAD_LIMIT);
    server.set_default_headers({{"Cache-Control", "no-store"},
                                {"X-Content-Type-Options", "nosniff"},
                                {"Referrer-Policy", "no-referrer"},
                                {"Content-Security-Policy",
                                 "default-src 'self'; img-src 'self' data: blob:; style-src 'self' 'unsafe-inline'; "
                                 "frame-ancestors 'none'"}});

    server.set_pre_routing_handler([gate](const httplib::Request &req, httplib::Response &res) {
        if (!hostAllowed(gate, req.get_header_value("Host"))) {
            refuse(res, 403, "This console answers only under its own address.");
            return httplib::Server::HandlerResponse::Handled;
        }
        if (!tokenMatches(gate, requestToken(req))) {
            refuse(res, 403, "The console's token is missing or wrong: open the URL the console printed at start.");
            return httplib::Server::HandlerResponse::Handled;
        }
        if (req.method != "GET" && req.method != "HEAD" &&
            !originAllowed(req.get_header_value("Origin"), req.get_header_value("Host"))) {
            refuse(res, 403, "Commands are taken only from the console's own page.");
            return httplib::Server::HandlerResponse::Handled;
        }
        return httplib::Server::HandlerResponse::Unhandled;
    });

    server.Get(R"(/(|style\.css|app\.js|dygraph\.min\.js|dygraph\.min\.css))",
               [gate](const httplib::Request &req, httplib::Response &res) {
                   const Asset *asset = findAsset(req.path.c_str());
                   if (!asset)
                       return refuse(res, 404, "not here");
                   serveAsset(*asset, gate, res);
               });
    server.Get("/api/info", [&session](const httplib::Request &, httplib::Response &res) {
        sendJson(res, session.infoJson());
    });
    server.Get("/api/history", [&session](const httplib::Request &, httplib::Response &res) {
        sendJson(res, session.historyJson());
    });
    server.Get("/api/events", [&session, &hub](const httplib::Request &, httplib::Response &res) {
        streamEvents(session, hub, res);
    });
    server.Get("/api/log", [&session, workDir](const httplib::Request &req, httplib::Response &res) {
        handleLogDownload(session, workDir, req, res);
    });
    server.Post("/api/reconnect", [&session](const httplib::Request &, httplib::Response &res) {
        session.reconnect();
        sendJson(res, session.statusJson());
    });
    server.Post("/api/command", [&session](const httplib::Request &req, httplib::Response &res) {
        handleCommand(session, req, res);
    });
    server.Post("/api/all-off", [&session](const httplib::Request &, httplib::Response &res) {
        sendJson(res, resultJson(session.allOff()));
    });
    server.Post("/api/upload", [&session, workDir](const httplib::Request &req, httplib::Response &res) {
        handleUpload(session, workDir, req, res);
    });
    server.Post("/api/preview", [](const httplib::Request &req, httplib::Response &res) {
        handlePreview(req, res);
    });
}
