// One command, from its arguments to its printed answer.
#include "run.h"

#include <arpa/inet.h>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <nlohmann/json.hpp>
#include <sys/stat.h>

#include "all_off.h"
#include "caldata.h"
#include "image.h"
#include "platform/clock.h"
#include "serial_info.h"
#include "session/command_list.h"
#include "state_log.h"
#include "transfer.h"
#include "wav.h"

enum {
    SIGNATURE_SIZE = 256,
    PACKAGE_LIMIT = 64 * 1024 * 1024,        // signature and package together
    INSTALL_ANSWER_TIMEOUT_MS = 600 * 1000,  // checking and unpacking run before the answer
    NO_ANSWER_WAIT_MS = 5000,
};

// Where a mistake in a command is reported: standard error, or the text a
// caller of the three-argument prepareInvocation shows in its own way.
static thread_local std::string *usageSink = nullptr;

static int usage(const std::string &message)
{
    if (usageSink)
        *usageSink = message;
    else
        fprintf(stderr, "mifctl: %s\n", message.c_str());
    return EXIT_USAGE;
}

static int connectionFailure(const std::string &message)
{
    fprintf(stderr, "mifctl: %s\n", message.c_str());
    return EXIT_CONNECTION;
}

// Exit codes of a transfer, with its message when it has one.
static int transferResult(int code, const std::string &error)
{
    if (code == EXIT_USAGE || code == EXIT_CONNECTION)
        fprintf(stderr, "mifctl: %s\n", error.c_str());
    return code;
}

static std::string baseName(const std::string &path)
{
    return path.substr(path.rfind('/') + 1);
}

static std::string joined(const std::vector<std::string> &args, const char *separator)
{
    std::string text;
    for (size_t i = 0; i < args.size(); i++)
        text += (i ? separator : "") + args[i];
    return text;
}

static TransferOptions transferOptions(const std::string &label, const RunSettings &settings)
{
    TransferOptions options;
    options.label = label;
    options.progress = progressWanted(settings.quiet);
    return options;
}

static int32_t commandIndex(const AliasRow &row)
{
    const CommandRow *command = findCommandByName(row.command);
    return command ? command->index : -1;
}

static void plain(PreparedRequest *out, int32_t index, std::string payload, bool hasPayload)
{
    out->kind = REQUEST_PLAIN;
    out->index = index;
    out->payload = std::move(payload);
    out->hasPayload = hasPayload;
}

static void upload(PreparedRequest *out, int32_t index, std::vector<UploadPiece> pieces, std::string label)
{
    out->kind = REQUEST_UPLOAD;
    out->index = index;
    out->pieces = std::move(pieces);
    out->label = std::move(label);
}

static void download(PreparedRequest *out, int32_t index, std::string suffix, std::string name,
                     const std::string &output)
{
    out->kind = REQUEST_DOWNLOAD;
    out->index = index;
    out->payload = std::move(suffix);
    out->output = output.empty() ? name : output;
    out->label = std::move(name);
}

// ------------------------------------------------------------ plain rows

static int preparePlain(const Invocation &inv, PreparedRequest *out)
{
    std::string payload, error;
    bool hasPayload = false;
    if (!mapAliasArguments(*inv.alias, inv.args, &payload, &hasPayload, &error))
        return usage(error);
    if (commandIndex(*inv.alias) == MCH_SET_CALDATA && !caldataArgumentsValid(payload, &error))
        return usage(error);
    plain(out, commandIndex(*inv.alias), payload, hasPayload);
    return EXIT_ANSWER_OK;
}

static int prepareSpeed(const Invocation &inv, PreparedRequest *out)
{
    std::string payload, error;
    if (!speedPayload(inv.args, &payload, &error))
        return usage(error);
    plain(out, MCH_SET_SPEED, payload, true);
    return EXIT_ANSWER_OK;
}

static int prepareClock(const Invocation &inv, PreparedRequest *out)
{
    if (inv.args.empty() || inv.args.size() > 2)
        return usage("set-clock takes dd.mm.yyyy-hh:mm:ss (or the date and the time apart), or now");
    std::string when = joined(inv.args, "-");
    if (inv.args.size() == 1 && (when == "now" || when == "NOW")) {
        time_t now = time(nullptr);
        struct tm local{};
        localtime_r(&now, &local);
        char text[32];
        strftime(text, sizeof text, "%d.%m.%Y-%H:%M:%S", &local);
        when = text;
    }
    plain(out, MCH_SET_TIME_AND_DATE, when, true);
    return EXIT_ANSWER_OK;
}

// ------------------------------------------------------------------ logs

static const LogRow *logOrUsage(const std::string &name)
{
    const LogRow *log = findLog(name);
    if (!log) {
        std::string names;
        for (int i = 0; i < kLogRowCount; i++)
            names += (i ? ", " : "") + std::string(kLogRows[i].name);
        usage("no log named \"" + name + "\"; the logs are " + names);
    }
    return log;
}

static int prepareGetLog(const Invocation &inv, PreparedRequest *out)
{
    if (inv.args.size() != 1)
        return usage("get-log takes one log name");
    const LogRow *log = logOrUsage(inv.args[0]);
    if (!log)
        return EXIT_USAGE;
    const std::string suffix = inv.rotated ? std::to_string(inv.rotated) : "";
    download(out, log->getIndex, suffix, logFileName(*log) + (suffix.empty() ? "" : "." + suffix), inv.output);
    return EXIT_ANSWER_OK;
}

static int prepareSetLog(const Invocation &inv, PreparedRequest *out)
{
    const LogRow *log = logOrUsage(inv.args[0]);
    if (!log)
        return EXIT_USAGE;
    if (inv.logIndex >= 0 && !log->takesIndex)
        return usage(std::string(log->name) + " has no rotated copies; --index does not apply");
    std::vector<UploadPiece> pieces(1);
    std::string error;
    if (!filePiece(inv.args[1], &pieces[0], &error))
        return usage(error);
    // These logs read "N:" at the start of an upload as the copy to replace
    // and would take a colon anywhere in the first block for one: a log
    // line with a colon would make the upload fail. Naming the copy always,
    // 0 for the log itself, keeps every file intact.
    if (log->takesIndex)
        pieces.insert(pieces.begin(), memoryPiece(std::to_string(inv.logIndex < 0 ? 0 : inv.logIndex) + ":"));
    upload(out, log->setIndex, std::move(pieces), baseName(inv.args[1]));
    return EXIT_ANSWER_OK;
}

// ---------------------------------------------------------- other files

static int prepareIpaddr(const Invocation &inv, PreparedRequest *out)
{
    in_addr address{};
    if (inv.args.size() != 1 || inet_pton(AF_INET, inv.args[0].c_str(), &address) != 1)
        return usage("set-ipaddr takes an IPv4 address in dotted form, e.g. 192.0.2.10");
    upload(out, MCH_SET_IPADDR, {memoryPiece(inv.args[0] + "\n")}, "address");
    return EXIT_ANSWER_OK;
}

static int prepareImage(const Invocation &inv, PreparedRequest *out)
{
    std::vector<uint8_t> frame;
    std::string error;
    if (inv.args.size() != 1)
        return usage("display-img takes one picture file");
    if (!loadDisplayImage(inv.args[0], inv.scale, &frame, &error))
        return usage(error);
    upload(out, MCH_DISPLAY_IMG, {memoryPiece(std::move(frame))}, baseName(inv.args[0]));
    return EXIT_ANSWER_OK;
}

static int prepareSound(const Invocation &inv, PreparedRequest *out)
{
    SoundSamples samples;
    std::string error;
    if (inv.args.size() != 1)
        return usage("play-snd takes one sound file");
    if (!locateSamples(inv.args[0], &samples, &error))
        return usage(error);
    UploadPiece piece;
    piece.path = inv.args[0];
    piece.offset = samples.offset;
    piece.size = samples.size;
    upload(out, MCH_PLAY_SND, {piece}, baseName(inv.args[0]));
    return EXIT_ANSWER_OK;
}

static int preparePackage(const Invocation &inv, PreparedRequest *out)
{
    std::vector<UploadPiece> pieces(2);
    std::string error;
    if (inv.args.size() != 1)
        return usage("install-data takes one package file");
    // The signing tool writes PACKAGE.sig beside the package.
    const std::string signature = inv.signature.empty() ? inv.args[0] + ".sig" : inv.signature;
    if (!filePiece(inv.args[0], &pieces[1], &error))
        return usage(error);
    if (!filePiece(signature, &pieces[0], &error))
        return usage(inv.signature.empty() ? "no signature beside the package (" + error + "); give --sig SIGFILE"
                                           : error);
    if (pieces[0].size != SIGNATURE_SIZE)
        return usage(signature + " has " + std::to_string(pieces[0].size) + " bytes; a package signature has " +
                     std::to_string(SIGNATURE_SIZE));
    if (pieces[1].size == 0)
        return usage(inv.args[0] + " is empty");
    if (pieces[0].size + pieces[1].size > PACKAGE_LIMIT)
        return usage(inv.args[0] + " is too large: the appliance takes at most " +
                     std::to_string(PACKAGE_LIMIT - SIGNATURE_SIZE) + " bytes of package");
    upload(out, MCH_INSTALL_DATA, std::move(pieces), baseName(inv.args[0]));
    out->answerTimeoutMs = INSTALL_ANSWER_TIMEOUT_MS;
    return EXIT_ANSWER_OK;
}

// ------------------------------------------------------------ raw names

static int prepareRaw(const Invocation &inv, PreparedRequest *out)
{
    const CommandRow &row = *inv.command;
    if (row.index == CMD_ERROR) {
        out->kind = REQUEST_NO_ANSWER;
        out->index = CMD_ERROR;
        return EXIT_ANSWER_OK;
    }
    if (row.index == MCH_CHAP) {
        out->kind = REQUEST_CHAP;
        out->index = MCH_CHAP;
        return EXIT_ANSWER_OK;
    }
    if (row.transferType == 1) {
        std::vector<UploadPiece> pieces(1);
        std::string error;
        if (inv.args.size() != 1)
            return usage(std::string(row.name) + " takes one file");
        if (!filePiece(inv.args[0], &pieces[0], &error))
            return usage(error);
        upload(out, row.index, std::move(pieces), baseName(inv.args[0]));
        return EXIT_ANSWER_OK;
    }
    const std::string argument = joined(inv.args, " ");
    if (row.transferType == 2)
        download(out, row.index, argument, baseName(row.file) + (argument.empty() ? "" : "." + argument), inv.output);
    else
        plain(out, row.index, argument, !inv.args.empty());
    return EXIT_ANSWER_OK;
}

// ----------------------------------------------------------------- state

// The daemon's answer to MCH_GET_STATE when nothing was logged since the last.
static const char kStateEmpty[] = "NAK: State buffer empty";

static volatile sig_atomic_t interruptedBySignal = 0;

static void onInterrupt(int) { interruptedBySignal = 1; }

// Ctrl-C ends --follow cleanly (exit 0) instead of killing the program
// halfway through a line; the old handler comes back afterwards.
struct InterruptScope {
    struct sigaction old{};
    InterruptScope()
    {
        interruptedBySignal = 0;
        struct sigaction action{};
        action.sa_handler = onInterrupt;
        sigemptyset(&action.sa_mask);
        sigaction(SIGINT, &action, &old);
    }
    ~InterruptScope() { sigaction(SIGINT, &old, nullptr); }
};

static void printState(const Answer &answer, const PreparedRequest &req)
{
    const std::string text = answerText(answer);
    if (req.rawOutput) {
        printf("%s\n", text.c_str());
    } else {
        for (const StateRecord &record : decodeStateLog(text))
            printf("%s\n", (req.json ? stateRecordJson(record) : stateRecordLine(record)).c_str());
    }
    fflush(stdout);
}

static int runState(Session &session, const PreparedRequest &req)
{
    InterruptScope scope;
    for (;;) {
        Answer answer;
        std::string error;
        if (!request(session, MCH_GET_STATE, "", false, &answer, &error))
            return interruptedBySignal ? EXIT_ANSWER_OK : connectionFailure(error);
        // The daemon answers an empty log with a NAK; for the reader it is
        // no records, not a failure.
        const bool empty = answerIsNak(answer) && answerText(answer) == kStateEmpty;
        if (answerIsNak(answer) && !empty)
            return printAnswer(session, MCH_GET_STATE, answer);
        if (!empty)
            printState(answer, req);
        else if (!req.follow && !req.json && !req.rawOutput)
            fprintf(stderr, "mifctl: no new state records\n");
        if (!req.follow)
            return EXIT_ANSWER_OK;
        const int64_t until = monotonicMs() + req.intervalMs;
        while (!interruptedBySignal && monotonicMs() < until)
            sleepMs(unsigned(std::min<int64_t>(50, until - monotonicMs())));
        if (interruptedBySignal)
            return EXIT_ANSWER_OK;
    }
}

static int runSerial(Session &session, const PreparedRequest &req)
{
    Answer answer;
    std::string error;
    if (!request(session, MCH_GET_SERIAL, "", false, &answer, &error))
        return connectionFailure(error);
    if (answerIsNak(answer))
        return printAnswer(session, MCH_GET_SERIAL, answer);
    std::vector<SerialField> fields;
    if (!parseSerialAnswer(answerText(answer), &fields)) {
        fprintf(stderr, "mifctl: the answer has not the expected fields; printed as received\n");
        printf("%s\n", answerText(answer).c_str());
        return EXIT_ANSWER_OK;
    }
    if (req.json)
        printf("%s\n", serialFieldsJson(fields).c_str());
    else
        fputs(serialFieldsText(fields).c_str(), stdout);
    return EXIT_ANSWER_OK;
}

static int runWeight(Session &session)
{
    Answer answer;
    std::string error;
    if (!request(session, MCH_GET_WEIGHT, "", false, &answer, &error))
        return connectionFailure(error);
    if (answerIsNak(answer))
        return printAnswer(session, MCH_GET_WEIGHT, answer);
    const std::string text = answerText(answer);
    long weight = 0, ad = 0;
    char tail = 0;
    if (sscanf(text.c_str(), "%ld,%ld%c", &weight, &ad, &tail) != 2) {
        fprintf(stderr, "mifctl: the answer is not \"WEIGHT,AD\"; printed as received\n");
        printf("%s\n", text.c_str());
        return EXIT_ANSWER_OK;
    }
    printf("%s\n", nlohmann::ordered_json{{"weight_g", weight}, {"ad", ad}}.dump().c_str());
    return EXIT_ANSWER_OK;
}

static int runNoAnswer(Session &session, const PreparedRequest &req)
{
    // CMD_ERROR has no answer: the daemon ends the session.
    std::string error;
    if (!sendHeader(session, req.index, takeTag(session), 0, &error))
        return connectionFailure(error);
    bool closed = waitForClose(session, NO_ANSWER_WAIT_MS);
    session.socket.reset();
    fprintf(stderr, "mifctl: CMD_ERROR has no answer; %s\n",
            closed ? "the daemon ended the session" : "the daemon no longer serves this session");
    return EXIT_ANSWER_OK;
}

static int runDownload(Session &session, const PreparedRequest &req, const RunSettings &settings)
{
    std::string error;
    uint64_t bytes = 0;
    TransferOptions options = transferOptions(req.label, settings);
    options.received = &bytes;
    const int code = transferResult(downloadFile(session, req.index, req.payload, req.output, options, &error), error);
    if (code != EXIT_ANSWER_OK)
        return code;
    // On standard error, so that `-o -` gives the log alone.
    fprintf(stderr, "mifctl: wrote %llu bytes to %s\n", (unsigned long long)bytes,
            req.output == "-" ? "standard output" : req.output.c_str());
    // The daemon sends a service-level client only the lines of the last
    // 6,000,000 ms of machine control's clock of these two logs.
    if ((req.index == SVC_GET_BB || req.index == SVC_GET_EVENTS) && roleLevel(session.key.role) == 1)
        fprintf(stderr, "mifctl: with the %s key the daemon sends only the lines of the last 100 minutes of %s\n",
                session.key.role.c_str(), req.label.c_str());
    return code;
}

// -------------------------------------------------------------- dispatch

bool invocationNeedsSession(const Invocation &invocation)
{
    return invocation.kind == INVOKE_ALIAS || invocation.kind == INVOKE_RAW;
}

int runHelp(const Invocation &invocation)
{
    if (invocation.args.empty()) {
        fputs(helpListing().c_str(), stdout);
        return EXIT_ANSWER_OK;
    }
    std::string text;
    if (!helpForCommand(invocation.args[0], &text))
        return usage("no command named \"" + invocation.args[0] + "\"; `mifctl help` lists them");
    fputs(text.c_str(), stdout);
    return EXIT_ANSWER_OK;
}

int prepareInvocation(const Invocation &inv, PreparedRequest *out)
{
    *out = PreparedRequest{};
    if (inv.kind == INVOKE_RAW)
        return prepareRaw(inv, out);
    if (inv.kind != INVOKE_ALIAS)
        return usage("nothing to send");
    switch (inv.alias->kind) {
    case ALIAS_PLAIN:
    case ALIAS_TEXT: return preparePlain(inv, out);
    case ALIAS_CLOCK: return prepareClock(inv, out);
    case ALIAS_GET_LOG: return prepareGetLog(inv, out);
    case ALIAS_SET_LOG: return prepareSetLog(inv, out);
    case ALIAS_IPADDR: return prepareIpaddr(inv, out);
    case ALIAS_IMAGE: return prepareImage(inv, out);
    case ALIAS_SOUND: return prepareSound(inv, out);
    case ALIAS_PACKAGE: return preparePackage(inv, out);
    case ALIAS_SPEED: return prepareSpeed(inv, out);
    case ALIAS_WEIGHT:
        if (!inv.args.empty())
            return usage("weight takes no arguments");
        plain(out, MCH_GET_WEIGHT, "", false);
        // Only the labelled form needs reading the answer here.
        if (inv.json) {
            out->kind = REQUEST_WEIGHT;
            out->json = true;
        }
        return EXIT_ANSWER_OK;
    case ALIAS_ALL_OFF:
        out->kind = REQUEST_ALL_OFF;
        out->index = commandIndex(*inv.alias);
        return EXIT_ANSWER_OK;
    case ALIAS_STATE:
    case ALIAS_SERIAL:
        out->kind = inv.alias->kind == ALIAS_STATE ? REQUEST_STATE : REQUEST_SERIAL;
        out->index = commandIndex(*inv.alias);
        out->rawOutput = inv.rawOutput;
        out->json = inv.json;
        out->follow = inv.follow;
        out->intervalMs = inv.intervalMs;
        return EXIT_ANSWER_OK;
    }
    return usage("nothing to send");
}

int prepareInvocation(const Invocation &inv, PreparedRequest *out, std::string *message)
{
    usageSink = message;
    const int code = prepareInvocation(inv, out);
    usageSink = nullptr;
    return code;
}

int runPrepared(Session &session, const PreparedRequest &req, const RunSettings &settings)
{
    std::string error;
    switch (req.kind) {
    case REQUEST_PLAIN: {
        if (req.index == MCH_SET_CALDATA)
            return runSetCaldata(session, req);
        Answer answer;
        if (!request(session, req.index, req.payload, req.hasPayload, &answer, &error))
            return connectionFailure(error);
        return printAnswer(session, req.index, answer);
    }
    case REQUEST_UPLOAD: {
        TransferOptions options = transferOptions(req.label, settings);
        options.answerTimeoutMs = std::max(session.timeoutMs, req.answerTimeoutMs);
        return transferResult(uploadFile(session, req.index, req.pieces, options, &error), error);
    }
    case REQUEST_DOWNLOAD: return runDownload(session, req, settings);
    case REQUEST_STATE: return runState(session, req);
    case REQUEST_SERIAL: return runSerial(session, req);
    case REQUEST_WEIGHT: return runWeight(session);
    case REQUEST_CHAP: {
        Answer answer;
        if (!reauthenticate(session, &answer, &error))
            return connectionFailure(error);
        return printAnswer(session, MCH_CHAP, answer);
    }
    case REQUEST_NO_ANSWER: return runNoAnswer(session, req);
    case REQUEST_ALL_OFF: return runAllOff(session, ACTUATOR_ALL);
    }
    return EXIT_USAGE;
}
