// Memory running out in a session outside its command's handler (sending a
// file answer, here) ends that session only: the process lives on and the
// next session is served. The session threads run in this process, on a
// command table whose challenge answer sets the allocation up to fail.
#include "session/command_table.h"
#include "session/session.h"
#include "session/socket_io.h"
#include "session/wire.h"
#include "support/daemon_harness.h"
#include "support/failing_allocations.h"

#include <cstdlib>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace {

enum { FILE_ANSWER_INDEX = 4 };

// Answers the challenge with a file answer, as a download would, and lets
// the first allocation after the handler fail: the one that names the file.
Command *answerWithFile(Command *request, int)
{
    nextAllocationFails = true;
    return createStringCommand(FILE_ANSWER_INDEX, request->tag, "%s", "/mnt/rwfs/data/tech_box/Events.log");
}

Command *answerAck(Command *request, int) { return createAckCommand(request->index, request->tag); }

CommandTableRow table[COMMAND_COUNT];

// One session on one end of a socket pair; the other end is the client's.
struct Session {
    int client = -1;
    explicit Session(int slot)
    {
        int ends[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0)
            return;
        client = ends[1];
        startClient(slot, ends[0]);
    }
    ~Session()
    {
        if (client >= 0)
            close(client);
    }
    // The answer to a command, after the challenge.
    bool call(int32_t tag, Frame *answer)
    {
        uint8_t header[FRAME_HEADER_SIZE];
        if (!receive(answer) || answer->index != 1)
            return false;
        encodeFrameHeader(header, 1, tag, 0);
        return socket_send(client, header, sizeof header, 0, 5000) == FRAME_HEADER_SIZE && receive(answer);
    }
    bool receive(Frame *frame)
    {
        uint8_t header[FRAME_HEADER_SIZE];
        if (socket_recv(client, header, sizeof header, 0, 5000) != FRAME_HEADER_SIZE)
            return false;
        uint32_t length = 0;
        decodeFrameHeader(header, &frame->index, &frame->tag, &length);
        frame->payload.assign(length, 0);
        return length == 0 || socket_recv(client, frame->payload.data(), length, 0, 5000) == ssize_t(length);
    }
};

TEST(SessionEdgeTest, OutOfMemoryWhileSendingAnAnswerEndsOnlyThatSession)
{
    TempRoot root;
    setenv("MIF_ROOT", root.path().c_str(), 1);
    for (int32_t i = 0; i < COMMAND_COUNT; i++)
        table[i] = CommandTableRow{i, "ROW", AUTH_INVALID, nullptr, TRANSFER_PLAIN, ""};
    table[1] = CommandTableRow{1, "MCH_CHAP", AUTH_NONE, answerWithFile, TRANSFER_PLAIN, ""};
    table[FILE_ANSWER_INDEX].transferType = TRANSFER_FROM_APPLIANCE;
    installCommandTable(table);

    {
        Session failing(0);
        ASSERT_GE(failing.client, 0);
        Frame answer;
        EXPECT_FALSE(failing.call(5, &answer)) << "answered: " << answer.text();
        stopClient(0);
    }
    // The process is still here, and the next session works.
    table[1].handler = answerAck;
    Session next(1);
    ASSERT_GE(next.client, 0);
    Frame answer;
    ASSERT_TRUE(next.call(6, &answer));
    EXPECT_EQ(answer.text(), "ACK");
    EXPECT_EQ(answer.tag, 6);
    stopClient(1);
    unsetenv("MIF_ROOT");
}

} // namespace
