// The small service commands: repair marks and test events in the black
// box, machine control's black-box logging, a console line, and the machine
// clock.
#include <cinttypes>
#include <string>

#include "commands/service/service_commands.h"
#include "requests/remote_if.h"

Command *cmdHandler_CmdError(Command * /*request*/, int /*socket*/)
{
    // Row 0 marks an invalid command; the dispatcher refuses it before any
    // handler runs, so there is nothing to answer.
    return nullptr;
}

// The request's text goes into a black-box record (control bytes blanked
// by the logger, so the record stays one line); no text gives an empty
// message.
static Command *blackboxRecord(const Command *request, const char *code)
{
    MIF_TRACE_ENTER();
    LOGGER_LogBlackboxRecord(code, commandText(request));
    MIF_TRACE_LEAVE();
    return createAckCommand(request->index, request->tag);
}

Command *cmdHandler_SVCSetRepaStart(Command *request, int /*socket*/)
{
    return blackboxRecord(request, "RS");
}

Command *cmdHandler_SVCSetRepaEnd(Command *request, int /*socket*/)
{
    return blackboxRecord(request, "RE");
}

Command *cmdHandler_MCHTestEvent(Command *request, int /*socket*/)
{
    return blackboxRecord(request, "TE");
}

Command *cmdHandler_MCHEnableBB(Command *request, int /*socket*/)
{
    MIF_TRACE_ENTER();
    Command *error = nullptr;
    int on = parseArgBool(request, "ON", "OFF", &error);
    if (error) {
        MIF_TRACE_LEAVE();
        return error;
    }
    // Handing the request over is all: machine control's own result is not
    // part of the answer.
    RemoteIF_activateBlackBoxLogging(uint8_t(on));
    MIF_TRACE_LEAVE();
    return createAckCommand(request->index, request->tag);
}

Command *cmdHandler_MCHSetMcParams(Command *request, int /*socket*/)
{
    // Machine control parameters are not settable from a client.
    return createStringCommand(request->index, request->tag, "NAK: Command not implemented");
}

Command *cmdHandler_MCHPrintTxt(Command *request, int /*socket*/)
{
    if (const char *text = commandText(request)) {
        // One console line per command, whatever the client sent.
        std::string line = text;
        blankControlBytes(line.data());
        consoleLog(2, "%s\n", line.c_str());
    }
    return createAckCommand(request->index, request->tag);
}

Command *cmdHandler_MCHGetSysTime(Command *request, int /*socket*/)
{
    MIF_TRACE_ENTER();
    // 0 when machine control does not answer.
    uint64_t now = RemoteIF_getSysTime();
    MIF_TRACE_LEAVE();
    return createStringCommand(request->index, request->tag, "%" PRIu64, now);
}
