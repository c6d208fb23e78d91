// The console's web server against a hostile client, without a daemon:
// raw requests on 127.0.0.1 to a console whose session never connects.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <filesystem>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "console_session.h"
#include "event_hub.h"
#include "front.h"
#include "gate.h"
#include "server.h"

namespace {

// The whole answer of a connection, read until the console closes it (or
// a few seconds pass).
std::string readAll(int fd)
{
    std::string all;
    char buffer[4096];
    for (int rounds = 0; rounds < 200; rounds++) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 3000) <= 0)
            break;
        const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0)
            break;
        all.append(buffer, size_t(n));
    }
    return all;
}

size_t countAnswers(const std::string &all)
{
    size_t n = 0;
    for (size_t at = all.find("HTTP/1.1 "); at != std::string::npos; at = all.find("HTTP/1.1 ", at + 1))
        n++;
    return n;
}

class ConsoleServerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        workDir_ = std::filesystem::temp_directory_path() / ("mif-console-server-test." + std::to_string(getpid()));
        std::filesystem::create_directories(workDir_);
        // A host name that is not UTF-8: the console shows it back in /api/info.
        ConsoleSettings settings{{"h\xff\xfe", 1}, {"/nowhere/key.pem", "developer"}, 1000, 500, workDir_};
        session_ = std::make_unique<ConsoleSession>(settings, hub_);
        port_ = server_.bindConsole("127.0.0.1", 0);
        ASSERT_GT(port_, 0);
        gate_ = GateConfig{"127.0.0.1", port_, makeToken()};
        installRoutes(server_, gate_, *session_, hub_, workDir_);
        listener_ = std::thread([this] { server_.listen_after_bind(); });
        host_ = "127.0.0.1:" + std::to_string(port_);
    }
    void TearDown() override
    {
        hub_.close();
        server_.stop();
        listener_.join();
        server_.stopFront();
        session_.reset();
        std::filesystem::remove_all(workDir_);
    }

    int connectConsole()
    {
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(uint16_t(port_));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
        return fd;
    }
    static bool sendAll(int fd, const std::string &bytes)
    {
        size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (n <= 0)
                return false;
            done += size_t(n);
        }
        return true;
    }
    std::string exchange(const std::string &request)
    {
        const int fd = connectConsole();
        sendAll(fd, request);
        std::string answer = readAll(fd);
        close(fd);
        return answer;
    }
    std::string getInfo() const
    {
        return "GET /api/info HTTP/1.1\r\nHost: " + host_ + "\r\nX-Console-Token: " + gate_.token + "\r\n\r\n";
    }
    std::string post(const std::string &path, const std::string &origin, const std::string &body) const
    {
        return "POST " + path + " HTTP/1.1\r\nHost: " + host_ + "\r\nX-Console-Token: " + gate_.token +
               "\r\nOrigin: " + origin + "\r\nContent-Type: application/json\r\nContent-Length: " +
               std::to_string(body.size()) + "\r\n\r\n" + body;
    }

    std::filesystem::path workDir_;
    EventHub hub_;
    std::unique_ptr<ConsoleSession> session_;
    ConsoleServer server_;
    GateConfig gate_;
    int port_ = 0;
    std::string host_;
    std::thread listener_;
};

TEST_F(ConsoleServerTest, NothingAfterARefusedRequestRunsAsARequest)
{
    const std::string own = "http://" + host_;
    const std::string inner = post("/api/command", own, "{\"alias\":\"print-txt\",\"args\":[\"smuggled\"]}");
    // Refused for its Origin; its body is a whole request the gate would pass.
    std::string answer = exchange(post("/api/command", "http://evil.example", inner));
    EXPECT_EQ(countAnswers(answer), 1u) << answer;
    EXPECT_EQ(answer.rfind("HTTP/1.1 403", 0), 0u) << answer;

    // A request that reads carries no body to hide one in.
    answer = exchange("GET /api/info HTTP/1.1\r\nHost: " + host_ + "\r\nX-Console-Token: " + gate_.token +
                      "\r\nContent-Length: " + std::to_string(inner.size()) + "\r\n\r\n" + inner);
    EXPECT_EQ(countAnswers(answer), 1u) << answer;
    EXPECT_EQ(answer.rfind("HTTP/1.1 400", 0), 0u) << answer;

    // Nor is a second request on an accepted connection read.
    answer = exchange(getInfo() + inner);
    EXPECT_EQ(countAnswers(answer), 1u) << answer;
    EXPECT_EQ(answer.rfind("HTTP/1.1 200", 0), 0u) << answer;
}

TEST_F(ConsoleServerTest, TextThatIsNotUtf8IsAnsweredReplaced)
{
    const std::string answer = exchange(getInfo());
    EXPECT_EQ(answer.rfind("HTTP/1.1 200", 0), 0u) << answer.substr(0, 300);
    EXPECT_NE(answer.find("\"host\":\"h\xEF\xBF\xBD\xEF\xBF\xBD\""), std::string::npos);
    EXPECT_EQ(answer.find("EXCEPTION_WHAT"), std::string::npos);
}

TEST_F(ConsoleServerTest, HeadersAreCappedBeforeTheGate)
{
    std::string many = "GET /api/info HTTP/1.1\r\nHost: " + host_ + "\r\nX-Console-Token: " + gate_.token + "\r\n";
    for (int i = 0; i < 500; i++)
        many += "X-" + std::to_string(i) + ": a\r\n";
    std::string answer = exchange(many + "\r\n");
    EXPECT_EQ(answer.find("HTTP/1.1 200"), std::string::npos);
    EXPECT_TRUE(answer.empty() || answer.rfind("HTTP/1.1 431", 0) == 0) << answer;

    const std::string big = "GET /api/info HTTP/1.1\r\nHost: " + host_ + "\r\nX-Console-Token: " + gate_.token +
                            "\r\nX-Big: " + std::string(40000, 'b') + "\r\n\r\n";
    answer = exchange(big);
    EXPECT_EQ(answer.find("HTTP/1.1 200"), std::string::npos);
    EXPECT_TRUE(answer.empty() || answer.rfind("HTTP/1.1 431", 0) == 0) << answer.substr(0, 100);

    // The console still answers.
    EXPECT_EQ(exchange(getInfo()).rfind("HTTP/1.1 200", 0), 0u);
}

TEST_F(ConsoleServerTest, IdleConnectionsAndOpenPagesLeaveRoomForThePage)
{
    // More idle connections than the door keeps waiting; the oldest go.
    std::vector<int> idle;
    for (size_t i = 0; i < FrontLimits().waiting + 16; i++)
        idle.push_back(connectConsole());
    // Event streams, one more than the console serves at once.
    std::vector<int> streams;
    const std::string events =
        "GET /api/events?token=" + gate_.token + " HTTP/1.1\r\nHost: " + host_ + "\r\n\r\n";
    for (size_t i = 0; i < FrontLimits().streams; i++) {
        streams.push_back(connectConsole());
        sendAll(streams.back(), events);
        char first[64];
        pollfd p{streams.back(), POLLIN, 0};
        ASSERT_GT(poll(&p, 1, 3000), 0) << "stream " << i << " got no answer";
        ASSERT_GT(recv(streams.back(), first, sizeof first, 0), 0);
    }
    EXPECT_EQ(exchange(events).rfind("HTTP/1.1 503", 0), 0u);

    // The page's own request is answered at once all the same.
    const int fd = connectConsole();
    sendAll(fd, getInfo());
    pollfd p{fd, POLLIN, 0};
    ASSERT_GT(poll(&p, 1, 2000), 0) << "no answer while idle connections and streams are open";
    EXPECT_EQ(readAll(fd).rfind("HTTP/1.1 200", 0), 0u);
    close(fd);

    // The oldest idle connection was closed by the console.
    pollfd oldest{idle.front(), POLLIN, 0};
    ASSERT_GT(poll(&oldest, 1, 2000), 0);
    char byte;
    EXPECT_LE(recv(idle.front(), &byte, 1, 0), 0);
    for (int s : idle)
        close(s);
    for (int s : streams)
        close(s);
}

TEST_F(ConsoleServerTest, ChunkedUploadsAreCountedAndChecked)
{
    const std::string own = "http://" + host_;
    auto uploadHead = [&](const std::string &query) {
        return "POST /api/upload?" + query + " HTTP/1.1\r\nHost: " + host_ + "\r\nX-Console-Token: " + gate_.token +
               "\r\nOrigin: " + own +
               "\r\nContent-Type: multipart/form-data; boundary=XyZ\r\nTransfer-Encoding: chunked\r\n\r\n";
    };
    auto chunk = [](const std::string &data) {
        char size[32];
        snprintf(size, sizeof size, "%zx\r\n", data.size());
        return size + data + "\r\n";
    };
    const std::string partHead =
        "--XyZ\r\nContent-Disposition: form-data; name=\"file\"; filename=\"x.log\"\r\n"
        "Content-Type: application/octet-stream\r\n\r\n";

    // A small one goes through to the (absent) daemon.
    std::string answer = exchange(uploadHead("kind=log&name=events") + chunk(partHead + "a line\n\r\n--XyZ--\r\n") +
                                  chunk(""));
    EXPECT_EQ(answer.rfind("HTTP/1.1 200", 0), 0u) << answer;
    EXPECT_NE(answer.find("not connected"), std::string::npos) << answer;

    // An unknown kind or log is refused before a byte is written.
    answer = exchange(uploadHead("kind=log&name=passwd") + chunk(partHead + "x\r\n--XyZ--\r\n") + chunk(""));
    EXPECT_EQ(answer.rfind("HTTP/1.1 400", 0), 0u) << answer;

    // A chunked body beyond the limit is refused as it passes it.
    const int fd = connectConsole();
    ASSERT_TRUE(sendAll(fd, uploadHead("kind=log&name=bb") + chunk(partHead)));
    const std::string mib = chunk(std::string(1024 * 1024, 'z'));
    bool refusedEarly = false;
    for (int i = 0; i < 90 && !refusedEarly; i++) {
        pollfd p{fd, POLLIN, 0};
        refusedEarly = !sendAll(fd, mib) || poll(&p, 1, 0) > 0;
    }
    EXPECT_TRUE(refusedEarly);
    answer = readAll(fd);
    close(fd);
    EXPECT_EQ(answer.find("HTTP/1.1 200"), std::string::npos);
    EXPECT_TRUE(answer.empty() || answer.rfind("HTTP/1.1 413", 0) == 0) << answer.substr(0, 200);
    // Nothing of it is left in the work directory.
    for (const auto &entry : std::filesystem::directory_iterator(workDir_))
        ADD_FAILURE() << "left behind: " << entry.path();

    // One declared beyond the limit is refused before a byte of it is read.
    answer = exchange("POST /api/upload?kind=log&name=bb HTTP/1.1\r\nHost: " + host_ + "\r\nX-Console-Token: " +
                      gate_.token + "\r\nOrigin: " + own +
                      "\r\nContent-Type: multipart/form-data; boundary=XyZ\r\nContent-Length: 2147483648\r\n\r\n" +
                      partHead);
    EXPECT_EQ(answer.rfind("HTTP/1.1 413", 0), 0u) << answer;

    // Only an upload may come in chunks.
    answer = exchange("POST /api/command HTTP/1.1\r\nHost: " + host_ + "\r\nX-Console-Token: " + gate_.token +
                      "\r\nOrigin: " + own + "\r\nTransfer-Encoding: chunked\r\n\r\n" + chunk("{}") + chunk(""));
    EXPECT_EQ(answer.rfind("HTTP/1.1 411", 0), 0u) << answer;
}

}  // namespace
