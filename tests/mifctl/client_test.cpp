// mifctl as a program, against an in-test daemon: exit codes and where
// answers go, files moved byte for byte, pictures and sounds converted on
// the way, the state log and identity decoded, one shell session for many
// commands, and the failures a real daemon produces only now and then.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <atomic>
#include <fstream>
#include <set>
#include <sstream>
#include <sys/stat.h>

#include "fake_daemon.h"
#include "image.h"
#include "mifctl_process.h"
#include "png_maker.h"
#include "session/command_list.h"
#include "wav_maker.h"

namespace {

std::map<std::string, std::string> envFor(const FakeDaemon &daemon)
{
    return {{"MIF_PORT", std::to_string(daemon.port())}, {"MIF_KEY_DIR", devKeyDir()}, {"MIF_ROLE", "testlab"}};
}

std::string readFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<uint8_t> bytesOf(const std::string &text)
{
    return std::vector<uint8_t>(text.begin(), text.end());
}

// The requests after authentication.
std::vector<FakeRequest> commands(FakeDaemon &daemon)
{
    std::vector<FakeRequest> result;
    for (const FakeRequest &r : daemon.requests())
        if (r.index != MCH_CHAP)
            result.push_back(r);
    return result;
}

TEST(Client, AnswersGoToStdoutOrStderrWithTheirExitCodes)
{
    FakeDaemon daemon([](FakeConnection &c, const FakeRequest &r) {
        if (r.index == MCH_GET_WEIGHT)
            return c.sendText(r.index, r.tag, "500,81200");
        if (r.index == MCH_SET_HEATING)
            return c.sendText(r.index, r.tag, r.text() == "ON" ? "ACK" : "NAK: Unsuccessful");
        if (r.index == MCH_SET_TIME_AND_DATE)
            return c.sendText(r.index, r.tag, "NAK: Invalid parameters.\n");
        return c.sendText(0, r.tag, "NAK: No such command");
    });
    const auto env = envFor(daemon);

    MifctlResult ack = runMifctl({"set-heating", "on"}, env);
    EXPECT_EQ(ack.exitCode, 0);
    EXPECT_EQ(ack.out, "ACK\n");
    EXPECT_EQ(ack.err, "");
    MifctlResult value = runMifctl({"weight"}, env);
    EXPECT_EQ(value.exitCode, 0);
    EXPECT_EQ(value.out, "500,81200\n");
    MifctlResult weight = runMifctl({"weight", "--json"}, env);
    EXPECT_EQ(weight.exitCode, 0) << weight.err;
    EXPECT_EQ(nlohmann::json::parse(weight.out), (nlohmann::json{{"weight_g", 500}, {"ad", 81200}}));

    // The raw name sends its argument unchanged: "on" is not "ON".
    MifctlResult nak = runMifctl({"MCH_SET_HEATING", "on"}, env);
    EXPECT_EQ(nak.exitCode, 1);
    EXPECT_EQ(nak.out, "");
    EXPECT_EQ(nak.err, "NAK: Unsuccessful\n");
    EXPECT_EQ(runMifctl({"set-clock", "32.01.2030-12:00:00"}, env).err, "NAK: Invalid parameters.\n");

    // Refused for its level: the daemon answers under index 0.
    MifctlResult refused = runMifctl({"-r", "service", "reset-mc"}, env);
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_NE(refused.err.find("NAK: No such command"), std::string::npos);
    EXPECT_NE(refused.err.find("MCH_RESET_MC needs level 5; the service key has level 1"), std::string::npos)
        << refused.err;

    const int before = daemon.connections();
    MifctlResult usage = runMifctl({"set-heating", "maybe"}, env);
    EXPECT_EQ(usage.exitCode, 2);
    EXPECT_NE(usage.err.find("on or off"), std::string::npos) << usage.err;
    EXPECT_EQ(runMifctl({"no-such-command"}, env).exitCode, 2);
    MifctlResult typo = runMifctl({"set-heatnig", "on"}, env);
    EXPECT_EQ(typo.exitCode, 2);
    EXPECT_NE(typo.err.find("did you mean \"set-heating\""), std::string::npos) << typo.err;
    MifctlResult speed = runMifctl({"set-speed", "3.3"}, env);
    EXPECT_EQ(speed.exitCode, 2);
    EXPECT_NE(speed.err.find("steps of 0.5"), std::string::npos) << speed.err;
    EXPECT_EQ(runMifctl({}, env).exitCode, 2);
    EXPECT_EQ(runMifctl({"weight"}, {{"MIF_PORT", std::to_string(daemon.port())}}).exitCode, 2);  // no key
    EXPECT_EQ(daemon.connections(), before) << "a usage error never connects";

    EXPECT_EQ(runMifctl({"help"}, {}).exitCode, 0);
    EXPECT_EQ(runMifctl({"help", "get-log"}, {}).exitCode, 0);
    EXPECT_EQ(runMifctl({"--version"}, {}).exitCode, 0);
}

TEST(Client, ConnectionAndAuthenticationFailuresExitWith3)
{
    FakeDaemon refusing(answerAck, true);
    MifctlResult auth = runMifctl({"-r", "developer", "weight"}, envFor(refusing));
    EXPECT_EQ(auth.exitCode, 3);
    EXPECT_NE(auth.err.find("authentication refused"), std::string::npos) << auth.err;
    EXPECT_NE(auth.err.find(devKeyDir() + "/developer.pem (meant for role developer)"), std::string::npos)
        << auth.err;

    int port;
    {
        FakeDaemon gone(answerAck);
        port = gone.port();
    }
    MifctlResult refused = runMifctl({"-r", "testlab", "-p", std::to_string(port), "weight"}, {{"MIF_KEY_DIR", devKeyDir()}});
    EXPECT_EQ(refused.exitCode, 3);
    EXPECT_NE(refused.err.find("connection refused"), std::string::npos) << refused.err;

    MifctlResult unknown = runMifctl({"-r", "testlab", "-H", "no-such-host.invalid", "weight"}, {{"MIF_KEY_DIR", devKeyDir()}});
    EXPECT_EQ(unknown.exitCode, 3);
    EXPECT_NE(unknown.err.find("host unknown: no-such-host.invalid"), std::string::npos) << unknown.err;
}

TEST(Client, AKeyThatCannotSignIsAUsageErrorBeforeConnecting)
{
    FakeDaemon daemon(answerAck);
    ScratchDir dir;
    const std::map<std::string, std::string> env = {{"MIF_PORT", std::to_string(daemon.port())}};
    dir.write("picture.png", makePng(2, 2, PNG_FORMAT_RGB, solidRgb(2, 2, 1, 2, 3)));
    const std::string pem = readFile(devKeyDir() + "/testlab.pem");
    dir.write("open.pem", pem);
    chmod(dir.file("open.pem").c_str(), 0644);
    dir.write("mine.pem", pem);
    chmod(dir.file("mine.pem").c_str(), 0600);

    const struct {
        std::string key, says;
    } kRefused[] = {
        {dir.file("picture.png"), "is not a private key: it is a PNG picture"},
        {devKeyDir() + "/testlab.der", "binary DER form"},
        {dir.file("open.pem"), "is open to group or others (mode 0644)"},
        {dir.file("missing.pem"), "cannot read key"},
    };
    for (const auto &row : kRefused) {
        MifctlResult result = runMifctl({"-k", row.key, "weight"}, env);
        EXPECT_EQ(result.exitCode, 2) << row.key;
        EXPECT_NE(result.err.find(row.says), std::string::npos) << result.err;
    }
    EXPECT_EQ(daemon.connections(), 0) << "a bad key never costs another client its session";

    // The owner's own key, and the published development keys as git
    // leaves them, sign.
    EXPECT_EQ(runMifctl({"-k", dir.file("mine.pem"), "weight"}, env).exitCode, 0);
    EXPECT_EQ(runMifctl({"-k", devKeyDir() + "/testlab.pem", "weight"}, env).exitCode, 0);
}

TEST(Client, ADisplacedOrConfusedSessionExitsWith3)
{
    // The daemon closes a displaced client's socket without a word.
    FakeDaemon displacing([](FakeConnection &c, const FakeRequest &) {
        c.closeNow();
        return false;
    });
    MifctlResult displaced = runMifctl({"weight"}, envFor(displacing));
    EXPECT_EQ(displaced.exitCode, 3);
    EXPECT_NE(displaced.err.find("daemon displaced us"), std::string::npos) << displaced.err;

    FakeDaemon wrongTag([](FakeConnection &c, const FakeRequest &r) { return c.sendText(r.index, r.tag + 1, "ACK"); });
    MifctlResult confused = runMifctl({"weight"}, envFor(wrongTag));
    EXPECT_EQ(confused.exitCode, 3);
    EXPECT_NE(confused.err.find("tag"), std::string::npos) << confused.err;

    // An upload cut off by a displacement: the daemon refuses it and closes
    // the connection at once. A refusal alone keeps the session.
    FakeDaemon cutOff([](FakeConnection &c, const FakeRequest &r) {
        c.sendText(r.index, r.tag, "NAK: Error receiving data!");
        if (r.index == SVC_SET_EVENTS)
            c.closeNow();
        return r.index != SVC_SET_EVENTS;
    });
    ScratchDir dir;
    dir.write("log.txt", std::string("1;EV;x\n"));
    MifctlResult lost = runMifctl({"set-log", "events", dir.file("log.txt")}, envFor(cutOff));
    EXPECT_EQ(lost.exitCode, 3);
    EXPECT_NE(lost.err.find("the upload was cut off"), std::string::npos) << lost.err;
    MifctlResult refusedUpload = runMifctl({"set-log", "errors", dir.file("log.txt")}, envFor(cutOff));
    EXPECT_EQ(refusedUpload.exitCode, 1);
    EXPECT_EQ(refusedUpload.err, "NAK: Error receiving data!\n");

    FakeDaemon silent([](FakeConnection &, const FakeRequest &) { return true; });
    MifctlResult timedOut = runMifctl({"-t", "0.3", "weight"}, envFor(silent));
    EXPECT_EQ(timedOut.exitCode, 3);
    EXPECT_NE(timedOut.err.find("no answer from the daemon"), std::string::npos) << timedOut.err;
}

TEST(Client, DownloadsALogByteForByte)
{
    std::string log;
    for (int i = 0; i < 5000; i++)
        log += std::to_string(1000 + i) + ";EV;" + std::string(1, char(i % 256)) + "\n";
    FakeDaemon daemon([&log](FakeConnection &c, const FakeRequest &r) {
        if (r.index == SVC_GET_EVENTS && r.text() == "")
            return c.sendFrame(r.index, r.tag, bytesOf(log));
        if (r.index == SVC_GET_EVENTS && r.text() == "2")
            return c.sendFrame(r.index, r.tag, bytesOf("rotated\n"));
        if (r.index == SVC_GET_BB) {
            c.sendText(r.index, r.tag, MIF_NAK_INVALID_OFFSET);
            return c.sendText(r.index, r.tag, "NAK: No data to send");
        }
        return c.sendText(r.index, r.tag, "NAK: No data to send");
    });
    ScratchDir dir;
    const auto env = envFor(daemon);

    MifctlResult got = runMifctl({"get-log", "events"}, env, "", dir.path);
    EXPECT_EQ(got.exitCode, 0) << got.err;
    EXPECT_EQ(got.out, "");
    EXPECT_EQ(got.err, "mifctl: wrote " + std::to_string(log.size()) + " bytes to Events.log\n")
        << "no progress bar without a terminal";
    EXPECT_EQ(dir.read("Events.log"), log);
    // A service key gets the last 100 minutes of the events only.
    MifctlResult service = runMifctl({"-r", "service", "get-log", "events", "-o", dir.file("s.log")}, env);
    EXPECT_EQ(service.exitCode, 0) << service.err;
    EXPECT_NE(service.err.find("only the lines of the last 100 minutes of Events.log"), std::string::npos)
        << service.err;

    EXPECT_EQ(runMifctl({"get-log", "events", "--rotated", "2"}, env, "", dir.path).exitCode, 0);
    EXPECT_EQ(dir.read("Events.log.2"), "rotated\n");
    MifctlResult out = runMifctl({"get-log", "Events.log", "-o", "-"}, env);
    EXPECT_EQ(out.out, log);
    EXPECT_EQ(out.err, "mifctl: wrote " + std::to_string(log.size()) + " bytes to standard output\n");

    // A NAK is no file: nothing is written, both answers are shown.
    MifctlResult nak = runMifctl({"get-log", "bb"}, env, "", dir.path);
    EXPECT_EQ(nak.exitCode, 1);
    EXPECT_EQ(nak.err, MIF_NAK_INVALID_OFFSET "\nNAK: No data to send\n");
    EXPECT_FALSE(dir.exists("OperationalData.log"));
    MifctlResult none = runMifctl({"SVC_GET_MATRIX", "-o", dir.file("m")}, env);
    EXPECT_EQ(none.exitCode, 1);
    EXPECT_FALSE(dir.exists("m"));
    EXPECT_EQ(runMifctl({"get-log", "nolog"}, env).exitCode, 2);
}

TEST(Client, UploadsFilesAsTheyAre)
{
    FakeDaemon daemon(answerAck);
    ScratchDir dir;
    const auto env = envFor(daemon);
    std::string log = "0x0000000000000001;RE;MCH_INSTALL_DATA,ACK,RCPK:1.0\n2;EV;a:b\n";
    dir.write("events.txt", log);

    EXPECT_EQ(runMifctl({"set-log", "events", dir.file("events.txt")}, env).exitCode, 0);
    EXPECT_EQ(runMifctl({"set-log", "events", dir.file("events.txt"), "--index", "2"}, env).exitCode, 0);
    EXPECT_EQ(runMifctl({"set-log", "matrix", dir.file("events.txt")}, env).exitCode, 0);
    EXPECT_EQ(runMifctl({"SVC_SET_ERRORS", dir.file("events.txt")}, env).exitCode, 0);
    EXPECT_EQ(runMifctl({"set-ipaddr", "192.0.2.10"}, env).exitCode, 0);

    std::vector<FakeRequest> sent = commands(daemon);
    ASSERT_EQ(sent.size(), 5u);
    EXPECT_EQ(sent[0].index, SVC_SET_EVENTS);
    EXPECT_EQ(std::string(sent[0].payload.begin(), sent[0].payload.end()), "0:" + log);
    EXPECT_EQ(std::string(sent[1].payload.begin(), sent[1].payload.end()), "2:" + log);
    EXPECT_EQ(sent[2].index, SVC_SET_MATRIX);
    EXPECT_EQ(std::string(sent[2].payload.begin(), sent[2].payload.end()), log);
    EXPECT_EQ(std::string(sent[3].payload.begin(), sent[3].payload.end()), log);  // raw: unchanged
    EXPECT_EQ(sent[4].index, MCH_SET_IPADDR);
    EXPECT_EQ(std::string(sent[4].payload.begin(), sent[4].payload.end()), "192.0.2.10\n");

    std::string signature(256, 's');
    dir.write("pkg.sig", signature);
    dir.write("pkg.tar.gz", std::string("package bytes"));
    EXPECT_EQ(runMifctl({"install-data", dir.file("pkg.tar.gz"), "--sig", dir.file("pkg.sig")}, env).exitCode, 0);
    FakeRequest install = commands(daemon).back();
    EXPECT_EQ(install.index, MCH_INSTALL_DATA);
    EXPECT_EQ(std::string(install.payload.begin(), install.payload.end()), signature + "package bytes");
    // Without --sig the signature beside the package goes.
    MifctlResult unsigned_ = runMifctl({"install-data", dir.file("pkg.tar.gz")}, env);
    EXPECT_EQ(unsigned_.exitCode, 2);
    EXPECT_NE(unsigned_.err.find("pkg.tar.gz.sig"), std::string::npos) << unsigned_.err;
    dir.write("pkg.tar.gz.sig", std::string(256, 't'));
    EXPECT_EQ(runMifctl({"install-data", dir.file("pkg.tar.gz")}, env).exitCode, 0);
    install = commands(daemon).back();
    EXPECT_EQ(std::string(install.payload.begin(), install.payload.end()), std::string(256, 't') + "package bytes");

    // Speeds go in the daemon's form.
    EXPECT_EQ(runMifctl({"set-speed", "3"}, env).exitCode, 0);
    EXPECT_EQ(commands(daemon).back().text(), "3.0");
    EXPECT_EQ(runMifctl({"set-speed", "stop"}, env).exitCode, 0);
    EXPECT_EQ(commands(daemon).back().text(), "0.0");
}

TEST(Client, ConvertsPicturesAndSoundsBeforeSending)
{
    FakeDaemon daemon([](FakeConnection &c, const FakeRequest &r) {
        if (r.index == MCH_DISPLAY_IMG && r.payload.size() != DISPLAY_FRAME_SIZE)
            return c.sendText(r.index, r.tag, "NAK: Wrong image size!");
        return answerAck(c, r);
    });
    ScratchDir dir;
    const auto env = envFor(daemon);

    dir.write("red.png", makePng(DISPLAY_WIDTH, DISPLAY_HEIGHT, PNG_FORMAT_RGB,
                                 solidRgb(DISPLAY_WIDTH, DISPLAY_HEIGHT, 255, 0, 0)));
    MifctlResult shown = runMifctl({"display-img", dir.file("red.png")}, env);
    EXPECT_EQ(shown.exitCode, 0) << shown.err;
    FakeRequest frame = commands(daemon).back();
    ASSERT_EQ(frame.payload.size(), size_t(DISPLAY_FRAME_SIZE));
    EXPECT_EQ(frame.payload[0], 0);     // blue
    EXPECT_EQ(frame.payload[2], 255);   // red
    EXPECT_EQ(frame.payload[3], 0xFF);

    dir.write("small.png", makePng(10, 10, PNG_FORMAT_RGB, solidRgb(10, 10, 1, 2, 3)));
    const int before = daemon.connections();
    MifctlResult refused = runMifctl({"display-img", dir.file("small.png")}, env);
    EXPECT_EQ(refused.exitCode, 2);
    EXPECT_NE(refused.err.find("10x10"), std::string::npos) << refused.err;
    EXPECT_EQ(daemon.connections(), before);
    EXPECT_EQ(runMifctl({"display-img", dir.file("small.png"), "--scale"}, env).exitCode, 0);
    // The raw name sends the file unchanged, and the daemon judges its size.
    MifctlResult raw = runMifctl({"MCH_DISPLAY_IMG", dir.file("small.png")}, env);
    EXPECT_EQ(raw.exitCode, 1);
    EXPECT_EQ(raw.err, "NAK: Wrong image size!\n");

    const std::vector<uint8_t> samples = {1, 0, 2, 0, 3, 0, 4, 0};
    dir.write("beep.wav", makeWav({}, samples));
    EXPECT_EQ(runMifctl({"play-snd", dir.file("beep.wav")}, env).exitCode, 0);
    EXPECT_EQ(commands(daemon).back().payload, samples);
    WavShape cd;
    cd.rate = 44100;
    dir.write("cd.wav", makeWav(cd, samples));
    MifctlResult wrongRate = runMifctl({"play-snd", dir.file("cd.wav")}, env);
    EXPECT_EQ(wrongRate.exitCode, 2);
    EXPECT_NE(wrongRate.err.find("44100 Hz"), std::string::npos) << wrongRate.err;
}

TEST(Client, DecodesTheStateLogAndTheIdentity)
{
    const std::string state =
        "1000:TE:120,45;1001:PE:PUSH;1002:PE:LONG_PUSH;1003:RE:-1;1004:GS:50;1005:DT:37;1006:TI:90;"
        "1007:LL:BOWL,CLOSE;1011:EV:51,7;1012:ER:1,2,-3,4,5,6,7,8,9,10;1013:TR:SWITCH_ON_HEATER,0x85,0x0001;"
        "1014:HC:12,ON;"
        "1015:BT:25;1015:MT:-4;1015:MS:3000;1015:MC:120;1015:HT:OFF;1015:FT:-1;1015:TS:77;"
        "1016:MC:1;1016:TC:2;1016:MS:-3;1016:MA:4;";
    const std::string identity = "QX:12345678901234560,FE:7,BE:SN,SWFE:1.2,BEHW:0x00000003,SWMC:0x00000001,"
                                 "SWPC:0x00000002,RCPK:DP-2\n,FEAN:0001PA00000002   00003";
    // Counted in the fake daemon's thread, reset by the test.
    std::atomic<int> stateCalls{0};
    FakeDaemon daemon([&](FakeConnection &c, const FakeRequest &r) {
        if (r.index == MCH_GET_STATE)
            return c.sendText(r.index, r.tag, stateCalls++ % 2 ? "NAK: State buffer empty" : state);
        if (r.index == MCH_GET_SERIAL)
            return c.sendText(r.index, r.tag, identity);
        return answerAck(c, r);
    });
    const auto env = envFor(daemon);

    MifctlResult json = runMifctl({"state", "--json"}, env);
    ASSERT_EQ(json.exitCode, 0) << json.err;
    std::set<std::string> codes;
    size_t lines = 0;
    std::istringstream in(json.out);
    for (std::string line; std::getline(in, line); lines++) {
        nlohmann::json record = nlohmann::json::parse(line);
        EXPECT_FALSE(record.contains("error")) << line;
        codes.insert(record["code"]);
    }
    EXPECT_EQ(lines, 23u);
    EXPECT_EQ(codes, (std::set<std::string>{"TE", "PE", "RE", "GS", "DT", "TI", "LL", "EV", "ER", "TR", "HC", "BT",
                                            "MT", "MS", "MC", "HT", "FT", "TS", "TC", "MA"}));

    // The log was emptied by that fetch: nothing new is no failure.
    MifctlResult empty = runMifctl({"state"}, env);
    EXPECT_EQ(empty.exitCode, 0);
    EXPECT_EQ(empty.out, "");
    EXPECT_EQ(empty.err, "mifctl: no new state records\n");
    MifctlResult readable = runMifctl({"state"}, env);
    EXPECT_NE(readable.out.find("TE  touch           at 120,45"), std::string::npos) << readable.out;
    EXPECT_NE(readable.out.find("bowl closed"), std::string::npos);
    MifctlResult emptyJson = runMifctl({"state", "--json"}, env);
    EXPECT_EQ(emptyJson.exitCode, 0);
    EXPECT_EQ(emptyJson.out + emptyJson.err, "");
    stateCalls = 0;
    EXPECT_EQ(runMifctl({"state", "--raw"}, env).out, state + "\n");

    MifctlResult serial = runMifctl({"serial", "--json"}, env);
    ASSERT_EQ(serial.exitCode, 0) << serial.err;
    nlohmann::json fields = nlohmann::json::parse(serial.out);
    EXPECT_EQ(fields["QX"], "12345678901234560");
    EXPECT_EQ(fields["RCPK"], "DP-2");
    EXPECT_EQ(fields["FEAN"], "0001PA00000002   00003");
    EXPECT_NE(runMifctl({"serial"}, env).out.find("appliance serial (QX):"), std::string::npos);
}

TEST(Client, AShellKeepsOneSessionForManyCommands)
{
    FakeDaemon daemon([](FakeConnection &c, const FakeRequest &r) {
        if (r.index == MCH_GET_WEIGHT)
            return c.sendText(r.index, r.tag, "NAK: Scale sent no data");
        return answerAck(c, r);
    });
    MifctlResult shell = runMifctl({"shell"}, envFor(daemon),
                                   "# a script\n"
                                   "set-heating on\n"
                                   "\n"
                                   "weight\n"
                                   "set-heating sideways\n"
                                   "MCH_PRINT_TXT \"two words\"\n"
                                   "help set-heating\n"
                                   "exit\n"
                                   "lock-lid close\n");
    EXPECT_EQ(daemon.connections(), 1);
    EXPECT_EQ(shell.exitCode, 2) << "the worst result of the script: " << shell.err;
    std::vector<FakeRequest> sent = commands(daemon);
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(sent[0].text(), "ON");
    EXPECT_EQ(sent[1].index, MCH_GET_WEIGHT);
    EXPECT_EQ(sent[2].text(), "two words");
    // Every request of the session has its own tag.
    EXPECT_NE(sent[0].tag, sent[1].tag);
    EXPECT_NE(sent[1].tag, sent[2].tag);
    EXPECT_NE(shell.err.find("NAK: Scale sent no data"), std::string::npos);
    EXPECT_NE(shell.out.find("mifctl set-heating on|off"), std::string::npos);

    // A script stops at the first lost connection.
    FakeDaemon closing([](FakeConnection &c, const FakeRequest &) {
        c.closeNow();
        return false;
    });
    MifctlResult lost = runMifctl({"shell"}, envFor(closing), "weight\nweight\n");
    EXPECT_EQ(lost.exitCode, 3);
    EXPECT_EQ(commands(closing).size(), 1u);
}

} // namespace
