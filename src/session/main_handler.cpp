// One client's session: the challenge, then the command wait loop.
#include "session/session.h"

#include <cerrno>
#include <cstring>
#include <exception>
#include <new>
#include <sys/socket.h>

#include "commands/service/file_commands.h"
#include "frame/run_state.h"
#include "requests/remote_if.h"
#include "session/auth.h"
#include "session/command_table.h"
#include "session/socket_io.h"
#include "session/wire.h"

Command *handleCommand(Command *request, int socket, DispatchResult *result)
{
    *result = DISPATCH_ANSWER;
    const int32_t index = request->index;
    const int32_t level = getCmdAuthLevel(index);
    Command *answer = nullptr;

    if (level == AUTH_NONE && index != 1 /* MCH_CHAP */) {
        LOGGER_LogMessage(4, 0, "%s: Expected CHAP-response, but received command %i (%s)\n", "handleCommand",
                          index, getCmdName(index));
        // Only this client's session ends: a stray level-0 command from an
        // unauthenticated peer must not stop the daemon.
        *result = DISPATCH_END_SESSION;
        return nullptr;
    }
    if (getClientAuthLevel() < level) {
        LOGGER_LogMessage(4, 0,
                          "%s: Not authorized to execute command %i (%s), command auth level is %i, client auth "
                          "level is %i\n",
                          "handleCommand", index, getCmdName(index), level, getClientAuthLevel());
        int type = getCmdTransferType(index);
        if ((type == TRANSFER_TO_APPLIANCE || type == 3) && request->length > 0) {
            if (getClientAuthLevel() == AUTH_NONE && request->length > UNAUTHENTICATED_DRAIN_LIMIT) {
                LOGGER_LogMessage(4, 0, "%s: Refusing to drain %u bytes of command %i (%s) before authentication\n",
                                  "handleCommand", unsigned(request->length), index, getCmdName(index));
                *result = DISPATCH_END_SESSION;
                return nullptr;
            }
            receiveFile(socket, "/dev/null", request->length, nullptr);
        }
        answer = createStringCommand(0, request->tag, "NAK: No such command");
    } else if (CommandHandler handler = getCmdHandler(index)) {
        try {
            answer = handler(request, socket);
        } catch (const std::bad_alloc &) {
            // A handler that ran out of memory half way may have left the
            // stream anywhere: this session ends, the daemon serves on.
            LOGGER_LogMessage(3, 0, "%s: Out of memory in command %i (%s)\n", __func__, index, getCmdName(index));
            *result = DISPATCH_END_SESSION;
            return nullptr;
        }
        if (!answer)
            *result = DISPATCH_NO_ANSWER;
    } else {
        LOGGER_LogMessage(6, 0, "%s: No such command: %i (%s)", "handleCommand", index, getCmdName(index));
        answer = createStringCommand(0, request->tag, "NAK: No such command");
    }
    LOGGER_LogMessage(6, 0, "%s: Handled command %i (%s), socket %i\n", "handleCommand", index, getCmdName(index),
                      socket);
    return answer;
}

// Sends one answer. A file answer streams the file it names; service-level
// clients get the operational data and the events of the last 100 minutes
// of machine time only, so machine control is asked for the time just then.
static int sendAnswer(int socket, Command **answer)
{
    if (!cmdSendsFile(*answer))
        return sendPlainCommand(socket, answer);
    Command *file = *answer;
    *answer = nullptr;
    uint64_t bound = 0;
    if (fileAnswerIsBounded(file->index, getClientAuthLevel())) {
        uint64_t machineTime = 0;
        if (!RemoteIF_querySysTime(&machineTime)) {
            // Without the machine's time the window cannot be placed, and
            // the whole log is more than a service client may see.
            LOGGER_LogMessage(3, 0, "%s: Machine control gave no time, so nothing of %s is sent\n", "sendAnswer",
                              commandText(file));
            Command *nak = createStringCommand(file->index, file->tag, "NAK: No data to send");
            deleteCommand(&file);
            if (!nak)
                return -ENOMEM;
            return sendPlainCommand(socket, &nak);
        }
        bound = fileAnswerLowerBound(machineTime);
    }
    return sendFileCommand(socket, file, bound);
}

// Ends a session's transfers: the connection monitor gave its slot to a
// newer client, or the daemon is ending.
static bool sessionMustStop(int slot)
{
    return sessionSlotStopRequested(slot) || shutdownRequested || stopRequested;
}

namespace {

// Owns a request or an answer for one turn of the loop, so that nothing
// is left behind when the turn ends early.
struct CommandOwner {
    Command *command = nullptr;
    CommandOwner() = default;
    CommandOwner(const CommandOwner &) = delete;
    CommandOwner &operator=(const CommandOwner &) = delete;
    ~CommandOwner() { deleteCommand(&command); }
};

// The challenge, then the command wait loop, until the client goes, is
// displaced, or the daemon ends.
void serveClient(int slot, int socket)
{
    LOGGER_LogMessage(5, 0, "%s: Send authentication challenge, socket: %i\n", "MainHandler", socket);
    Command *challenge = createChallenge();
    if (!challenge) {
        requestShutdown();   // no random source: the daemon cannot authenticate anyone
        return;
    }
    // A client that vanished before reading its challenge ends only its
    // own session.
    if (sendPlainCommand(socket, &challenge) < 0)
        return;
    LOGGER_LogMessage(5, 0, "%s: Entering the 'command wait loop', socket: %i\n", "MainHandler", socket);
    while (!shutdownRequested) {
        if (sessionSlotStopRequested(slot)) {
            LOGGER_LogMessage(5, 0, "%s: Closing client connection, socket: %i\n", "MainHandler", socket);
            return;
        }
        int timedOut = 0;
        CommandOwner request;
        request.command = receiveCommand(socket, &timedOut);
        if (!request.command) {
            if (timedOut)
                continue;
            return;
        }
        LOGGER_LogMessage(6, 0, "[MIF] Handling command %i (%s), socket %i\n", request.command->index,
                          getCmdName(request.command->index), socket);
        DispatchResult result;
        CommandOwner answer;
        answer.command = handleCommand(request.command, socket, &result);
        deleteCommand(&request.command);
        if (result == DISPATCH_END_SESSION)
            return;
        if (!answer.command) {
            requestShutdown();
            return;
        }
        if (sendAnswer(socket, &answer.command) < 0)
            return;
    }
}

} // namespace

void MainHandler(int slot)
{
    markSessionStarted();
    setTransferStopCheck(sessionMustStop, slot);
    const int socket = sessionSocket(slot);
    LOGGER_LogMessage(5, 0, "%s: Starting MainHandler with parameters: socket %i, index %i\n", "connectionHandler",
                      socket, slot);
    if (socket >= 0) {
        // Every session proves its own role: nothing carries over from the
        // previous client.
        resetClientAuthLevel();
        // Memory running out (or anything else thrown) in the drain of a
        // refused upload, in sending an answer or in any other step of the
        // loop leaves this client's stream anywhere: its session ends, and
        // the daemon serves the next client.
        try {
            serveClient(slot, socket);
        } catch (const std::exception &e) {
            LOGGER_LogMessage(3, 0, "%s: Session ended by an exception: %s\n", "MainHandler", e.what());
        } catch (...) {
            LOGGER_LogMessage(3, 0, "%s: Session ended by an exception\n", "MainHandler");
        }
    }
    LOGGER_LogMessage(6, 0, "%s: Exiting MainHandler\n", "MainHandler");
    // The client learns at once that its session is over; the descriptor
    // itself stays with the slot, which closes it when it is reused.
    if (socket >= 0)
        shutdown(socket, SHUT_RDWR);
    setTransferStopCheck(nullptr, 0);
    markSessionEnded(slot);
}
