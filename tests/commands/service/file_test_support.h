// In-process tests of the file transfers: a temporary appliance root, the
// command table without handlers, and a socket pair whose one end the code
// under test uses as the client's socket.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "session/command_list.h"
#include "session/command_table.h"
#include "session/socket_io.h"
#include "session/wire.h"
#include "test_env.h"

#define MIF_TEST_ROW(index, name, level, type, file, handler) {index, #name, level, nullptr, type, file},
inline const CommandTableRow kFileTestTable[COMMAND_COUNT] = {MIF_COMMAND_LIST(MIF_TEST_ROW)};
#undef MIF_TEST_ROW

class FileTestBase : public ::testing::Test {
protected:
    std::string root;
    int daemonSide = -1;
    int clientSide = -1;
    std::unique_ptr<ScopedEnv> rootEnv;

    void SetUp() override
    {
        installCommandTable(kFileTestTable);
        char pattern[] = "/tmp/mifXXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root = pattern;
        rootEnv = std::make_unique<ScopedEnv>("MIF_ROOT", root.c_str());
        std::filesystem::create_directories(at("/mnt/rwfs/data/tech_box"));
        std::filesystem::create_directories(at("/mnt/rwfs/data/system_config"));
        std::filesystem::create_directories(at("/tmp"));
        std::filesystem::create_directories(at("/dev"));
        int fds[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        daemonSide = fds[0];
        clientSide = fds[1];
    }
    void TearDown() override
    {
        closeClient();
        if (daemonSide >= 0)
            close(daemonSide);
        rootEnv.reset();
        std::filesystem::remove_all(root);
    }
    void closeClient()
    {
        if (clientSide >= 0)
            close(clientSide);
        clientSide = -1;
    }

    std::string at(const std::string &appliancePath) const { return root + appliancePath; }
    void write(const std::string &appliancePath, const std::string &content) const
    {
        std::ofstream(at(appliancePath), std::ios::binary) << content;
    }
    std::string read(const std::string &appliancePath) const
    {
        std::ifstream in(at(appliancePath), std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    bool exists(const std::string &appliancePath) const { return std::filesystem::exists(at(appliancePath)); }
    // Entries of an appliance directory.
    int entries(const std::string &appliancePath) const
    {
        int n = 0;
        for (auto &e : std::filesystem::directory_iterator(at(appliancePath))) {
            (void)e;
            n++;
        }
        return n;
    }

    // A request as the frame reader returns it: header fields, and the
    // payload for plain commands.
    static Command *request(int32_t index, uint32_t length, const char *text = nullptr, int32_t tag = 7)
    {
        Command *c = text ? createStringCommand(index, tag, "%s", text) : createRawCommand(index, tag, nullptr, 0);
        if (!text)
            c->length = length;
        return c;
    }

    // The client writes bytes (in a thread when they may exceed the socket
    // buffer: see Feeder).
    void clientSends(const std::string &bytes)
    {
        ASSERT_EQ(socket_send(clientSide, bytes.data(), bytes.size(), 0, 5000), ssize_t(bytes.size()));
    }

    // One frame from the daemon side; false when none arrives.
    bool clientReceives(int32_t *index, int32_t *tag, std::string *payload)
    {
        uint8_t header[FRAME_HEADER_SIZE];
        if (socket_recv(clientSide, header, sizeof header, 0, 5000) != FRAME_HEADER_SIZE)
            return false;
        uint32_t length = 0;
        decodeFrameHeader(header, index, tag, &length);
        payload->assign(length, '\0');
        return length == 0 || socket_recv(clientSide, payload->data(), length, 0, 5000) == ssize_t(length);
    }
    // The text of one frame ("" when none arrives).
    std::string clientReceivesText()
    {
        int32_t index = 0, tag = 0;
        std::string payload;
        if (!clientReceives(&index, &tag, &payload))
            return "";
        return std::string(payload.c_str());
    }
    // Whether nothing more is waiting on the client side.
    bool clientHasNothingPending()
    {
        uint8_t byte;
        return recv(clientSide, &byte, 1, MSG_DONTWAIT) < 0;
    }
};
