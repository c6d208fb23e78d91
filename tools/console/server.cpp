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
    // A page that went away frees its stream thread at the next write.
    KEEPALIVE_EVERY_WAITS = 5,
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

// What an acknowledged "All off" leaves switched, in the words the page
// shows for the same commands sent one by one: without it the tiles would
// still say the speed and the heating this console set before.
static const struct {
    const char *panelKey;
    const char *value;
} kAllOffRows[] = {{"speed_set", "0.0"}, {"heating", "off"}, {"heat_ctrl", "off"}};

static void sendJson(httplib::Response &res, const nlohmann::json &body, int status = 200)
{
    res.status = status;
    res.set_content(jsonLine(body), "application/json");
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

// A file the page sent, kept in the work directory while it travels on:
// written as it arrives, removed when done with.
struct TempFile {
    std::string path;
    int fd = -1;
    ~TempFile()
    {
        if (fd >= 0)
            close(fd);
        if (!path.empty())
            unlink(path.c_str());
    }
    bool open(const std::string &dir, std::string *error)
    {
        path = dir + "/upload.XXXXXX";
        fd = mkostemp(path.data(), O_CLOEXEC);
        if (fd < 0) {
            *error = std::string("cannot keep the file: ") + strerror(errno);
            path.clear();
            return false;
        }
        return true;
    }
    bool append(const char *data, size_t size, std::string *error)
    {
        while (size > 0) {
            ssize_t n = ::write(fd, data, size);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                *error = "cannot keep the file: the disk is full?";
                return false;
            }
            data += n;
            size -= size_t(n);
        }
        return true;
    }
    bool finish(std::string *error)
    {
        const int rc = close(fd);
        fd = -1;
        if (rc != 0)
            *error = std::string("cannot keep the file: ") + strerror(errno);
        return rc == 0;
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

static void refuseUpload(httplib::Response &res, const std::string &why)
{
    sendJson(res, {{"sent", false}, {"ok", false}, {"text", why}});
}

// What an upload is for, from its query alone, so that nothing is written
// for an upload the console would not send on.
static bool prepareUpload(const httplib::Request &req, Invocation *inv, std::string *why)
{
    const std::string kind = req.get_param_value("kind");
    if (kind == "log") {
        inv->alias = findAlias("set-log");
        if (!findLog(req.get_param_value("name"))) {
            *why = "no such log";
            return false;
        }
        inv->args = {req.get_param_value("name"), ""};
        if (req.has_param("index") && !req.get_param_value("index").empty() &&
            !copyNumber(req.get_param_value("index"), 0, &inv->logIndex)) {
            *why = "the copy is a number from 0 to 999";
            return false;
        }
    } else if (kind == "display") {
        inv->alias = findAlias("display-img");
        inv->args = {""};
        inv->scale = true;
    } else if (kind == "sound") {
        inv->alias = findAlias("play-snd");
        inv->args = {""};
    } else if (kind == "package") {
        inv->alias = findAlias("install-data");
        inv->args = {""};
    } else {
        *why = "unknown upload kind";
        return false;
    }
    return true;
}

// The form's parts go to their files as they arrive, counted against the
// limit, however the body is sent (with a length or in chunks).
static void handleUpload(ConsoleSession &session, const std::string &workDir, const httplib::Request &req,
                         httplib::Response &res, const httplib::ContentReader &reader)
{
    Invocation inv;
    std::string error;
    if (!prepareUpload(req, &inv, &error))
        return refuse(res, 400, error);
    if (!req.is_multipart_form_data())
        return refuse(res, 400, "no file in the request");
    const bool package = req.get_param_value("kind") == "package";
    TempFile file, signature;
    TempFile *current = nullptr;
    uint64_t received = 0;
    bool tooLarge = false;
    const bool whole = reader(
        [&](const httplib::MultipartFormData &part) {
            current = part.name == "file" ? &file : part.name == "sig" && package ? &signature : nullptr;
            // A second part of one name would be written over the first.
            if (current && current->fd >= 0) {
                error = "one file of each kind, please";
                return false;
            }
            return !current || current->open(workDir, &error);
        },
        [&](const char *data, size_t size) {
            received += size;
            if (received > UPLOAD_LIMIT) {
                tooLarge = true;
                return false;
            }
            return !current || current->append(data, size, &error);
        });
    if (tooLarge || res.status == 413)
        return refuse(res, 413, "The file is larger than the appliance takes (80 MiB).");
    if (!whole && error.empty())
        return refuse(res, 400, "the upload did not arrive whole");
    if (!whole)
        return refuseUpload(res, error);
    if (file.fd < 0)
        return refuse(res, 400, "no file in the request");
    if (package && signature.fd < 0)
        return refuseUpload(res, "choose the package's signature file too");
    if (!file.finish(&error) || (signature.fd >= 0 && !signature.finish(&error)))
        return refuseUpload(res, error);
    inv.args.back() = file.path;
    if (package)
        inv.signature = signature.path;
    res.status = 200;
    sendJson(res, resultJson(runAlias(session, inv, req.get_param_value("id"))));
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
        // The library calls this outside its own catch: an exception here
        // would end the process, so it ends the stream instead.
        try {
            if (*first) {
                *first = false;
                std::string hello = sseFrame(HubEvent{0, "status", jsonLine(session.statusJson())}) +
                                    sseFrame(HubEvent{0, "panel", jsonLine(session.panelJson())});
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
        } catch (const std::exception &e) {
            fprintf(stderr, "mif-console: an event stream failed: %s\n", e.what());
            return false;
        }
    });
}

void installRoutes(httplib::Server &server, const GateConfig &gate, ConsoleSession &session, EventHub &hub,
                   const std::string &workDir)
{
    server.set_payload_max_length(FILE_BODY_LIMIT);
    // What a handler throws is answered without its text, which may name
    // files or carry bytes from the appliance.
    server.set_exception_handler([](const httplib::Request &req, httplib::Response &res, std::exception_ptr ep) {
        try {
            std::rethrow_exception(ep);
        } catch (const std::exception &e) {
            fprintf(stderr, "mif-console: %s %s failed: %s\n", req.method.c_str(), req.path.c_str(), e.what());
        } catch (...) {
            fprintf(stderr, "mif-console: %s %s failed\n", req.method.c_str(), req.path.c_str());
        }
        refuse(res, 500, "The console could not answer this request.");
    });
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
        int status = 0;
        const std::string length = req.get_header_value("Content-Length");
        const std::string why = bodyRefusal(req.method, req.path, req.has_header("Content-Length") ? &length : nullptr,
                                            req.has_header("Transfer-Encoding"), &status);
        if (!why.empty()) {
            refuse(res, status, why);
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
        CommandResult result = session.allOff();
        if (result.sent && !result.nak)
            for (const auto &row : kAllOffRows)
                session.noteCommanded(row.panelKey, row.value);
        sendJson(res, resultJson(result));
    });
    server.Post("/api/upload", [&session, workDir](const httplib::Request &req, httplib::Response &res,
                                                   const httplib::ContentReader &reader) {
        handleUpload(session, workDir, req, res, reader);
    });
    server.Post("/api/preview", [](const httplib::Request &req, httplib::Response &res) {
        handlePreview(req, res);
    });
}
