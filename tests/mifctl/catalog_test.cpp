// The command table, the aliases and how typed arguments become payloads.
#include <gtest/gtest.h>

#include <cstdio>
#include <unistd.h>

#include "catalog.h"
#include "cli.h"
#include "run.h"
#include "session/command_list.h"

namespace {

struct Mapped {
    bool ok;
    std::string payload;
    bool hasPayload;
    std::string error;
};

Mapped mapArgs(const char *alias, std::vector<std::string> args)
{
    const AliasRow *row = findAlias(alias);
    EXPECT_NE(row, nullptr) << alias;
    Mapped m{};
    if (row)
        m.ok = mapAliasArguments(*row, args, &m.payload, &m.hasPayload, &m.error);
    return m;
}

TEST(Catalog, EveryCommandHasItsRowAndEveryAliasItsCommand)
{
    for (int i = 0; i < CATALOG_COMMAND_COUNT; i++) {
        ASSERT_EQ(kCommandRows[i].index, i);
        EXPECT_EQ(findCommandByName(kCommandRows[i].name), &kCommandRows[i]);
        // Every command but the two protocol rows has a friendly form.
        if (i > MCH_CHAP) {
            EXPECT_NE(aliasForCommand(kCommandRows[i]), nullptr) << kCommandRows[i].name;
        }
    }
    for (int i = 0; i < kAliasRowCount; i++) {
        const AliasRow &row = kAliasRows[i];
        if (row.command) {
            EXPECT_NE(findCommandByName(row.command), nullptr) << row.alias;
        }
        EXPECT_EQ(findAlias(row.alias), &row) << "alias names are unique: " << row.alias;
        std::string help;
        EXPECT_TRUE(helpForCommand(row.alias, &help));
    }
    EXPECT_EQ(findCommandByIndex(53), nullptr);
    EXPECT_EQ(findCommandByIndex(-1), nullptr);
    std::string help;
    EXPECT_TRUE(helpForCommand("mch_set_heating", &help));
    EXPECT_NE(help.find("set-heating on|off"), std::string::npos);
    EXPECT_FALSE(helpForCommand("no-such-thing", &help));
}

TEST(Catalog, WordsMapToTheDaemonsExactWords)
{
    EXPECT_EQ(mapArgs("set-heating", {"on"}).payload, "ON");
    EXPECT_EQ(mapArgs("set-heating", {"OFF"}).payload, "OFF");
    EXPECT_EQ(mapArgs("lock-lid", {"unlock"}).payload, "OPEN");
    EXPECT_EQ(mapArgs("relays", {"on"}).payload, "CLOSE");
    EXPECT_EQ(mapArgs("set-motor-mode", {"Dough"}).payload, "DOUGH");
    EXPECT_EQ(mapArgs("set-direction", {"reverse"}).payload, "REVERSE");
    EXPECT_EQ(mapArgs("mctest", {"switch_on_heater"}).payload, "SWITCH_ON_HEATER");
    EXPECT_EQ(mapArgs("mctest", {"133"}).payload, "133");
    EXPECT_EQ(mapArgs("mctest", {"-1"}).payload, "-1");
    EXPECT_EQ(mapArgs("fa-ok", {"status"}).payload, "STATUS");
    EXPECT_EQ(mapArgs("fa-ok", {"150"}).payload, "150");
    EXPECT_EQ(mapArgs("set-caldata", {"clear"}).payload, "CLEAR");

    Mapped wrong = mapArgs("set-heating", {"maybe"});
    EXPECT_FALSE(wrong.ok);
    EXPECT_NE(wrong.error.find("on or off"), std::string::npos) << wrong.error;
    EXPECT_FALSE(mapArgs("set-heating", {}).ok);
    EXPECT_FALSE(mapArgs("set-heating", {"on", "off"}).ok);
    EXPECT_FALSE(mapArgs("reset-mc", {"now"}).ok);
}

TEST(Catalog, SeveralArgumentsJoinWithTheCommandsSeparator)
{
    EXPECT_EQ(mapArgs("set-timer", {"turbo", "1500"}).payload, "TURBO:1500");
    EXPECT_EQ(mapArgs("set-timer", {"90"}).payload, "90");
    EXPECT_EQ(mapArgs("set-serial", {"feean", "42"}).payload, "FEEAN:42");
    EXPECT_EQ(mapArgs("set-serial", {"12345678901234560"}).payload, "12345678901234560");
    EXPECT_EQ(mapArgs("set-caldata", {"1000", "81200"}).payload, "1000,81200");
    EXPECT_EQ(mapArgs("ambi-light", {"0", "100"}).payload, "0,100");
    EXPECT_EQ(mapArgs("print-txt", {"hello", "world"}).payload, "hello world");
}

std::string speed(std::vector<std::string> args, std::string *error = nullptr)
{
    std::string payload, message;
    if (!speedPayload(args, &payload, &message)) {
        if (error)
            *error = message;
        return "refused";
    }
    return payload;
}

TEST(Catalog, SpeedsGoInTheDaemonsFormWithOneDecimal)
{
    // The daemon reads a speed only with its dot: 3 alone would be taken
    // for the raw four-number form and refused.
    EXPECT_EQ(speed({"3"}), "3.0");
    EXPECT_EQ(speed({"1"}), "1.0");
    EXPECT_EQ(speed({"0"}), "0.0");
    EXPECT_EQ(speed({"stop"}), "0.0");
    EXPECT_EQ(speed({"STOP"}), "0.0");
    EXPECT_EQ(speed({"soft"}), "SOFT");
    EXPECT_EQ(speed({"10.0"}), "10.0");
    EXPECT_EQ(speed({"10"}), "10.0");
    EXPECT_EQ(speed({"5.5"}), "5.5");
    EXPECT_EQ(speed({"0.5"}), "0.5");
    EXPECT_EQ(speed({".5"}), "0.5");
    EXPECT_EQ(speed({"5.50"}), "5.5");
    EXPECT_EQ(speed({"0.3"}), "0.3");  // the soft row
    // Rows the daemon refuses, and what is no speed at all.
    for (const char *bad : {"0.1", "0.2", "3.3", "10.5", "11", "-1", "5.", ".", "", "five", "5,5", "1e1", "5.55"}) {
        std::string error;
        EXPECT_EQ(speed({bad}, &error), "refused") << bad;
        EXPECT_NE(error.find("steps of 0.5"), std::string::npos) << error;
        EXPECT_NE(error.find("A B C D"), std::string::npos) << error;
    }
    // The raw form, typed apart or with its commas, goes as decimal numbers.
    EXPECT_EQ(speed({"1", "1000", "2000", "3000"}), "1,1000,2000,3000");
    EXPECT_EQ(speed({"1,1000,2000,3000"}), "1,1000,2000,3000");
    EXPECT_EQ(speed({"010", "1", "1", "1"}), "10,1,1,1");
    EXPECT_EQ(speed({"255", "65535", "0", "65535"}), "255,65535,0,65535");
    EXPECT_EQ(speed({"256", "1", "1", "1"}), "refused");
    EXPECT_EQ(speed({"1", "1", "1", "65536"}), "refused");
    EXPECT_EQ(speed({"1,2,3"}), "refused");
    EXPECT_EQ(speed({"1,2,3,4,5"}), "refused");
    EXPECT_EQ(speed({"1", "2"}), "refused");
    EXPECT_EQ(speed({"1", "x", "2", "3"}), "refused");
    EXPECT_EQ(speed({}), "refused");
}

TEST(Catalog, AMistypedCommandFindsItsNearestName)
{
    EXPECT_EQ(nearestCommand("sett-speed"), "set-speed");
    EXPECT_EQ(nearestCommand("weigth"), "weight");
    EXPECT_EQ(nearestCommand("SET-HEATNIG"), "set-heating");
    EXPECT_EQ(nearestCommand("MCH_GET_WEIGTH"), "MCH_GET_WEIGHT");
    EXPECT_EQ(nearestCommand("xyzzyq"), "");
}

TEST(Catalog, MissingArgumentsSendNothingOrTheDefault)
{
    Mapped tara = mapArgs("set-tara", {});
    EXPECT_TRUE(tara.ok);
    EXPECT_FALSE(tara.hasPayload);
    Mapped shutdown = mapArgs("shutdown", {});
    EXPECT_TRUE(shutdown.hasPayload);
    EXPECT_EQ(shutdown.payload, "0");
    Mapped text = mapArgs("repair-start", {});
    EXPECT_TRUE(text.ok);
    EXPECT_FALSE(text.hasPayload);
}

TEST(Catalog, LogsAreFoundByNameOrFileName)
{
    ASSERT_NE(findLog("events"), nullptr);
    EXPECT_EQ(findLog("Events.log"), findLog("events"));
    EXPECT_EQ(findLog("EVENTS"), findLog("events"));
    EXPECT_EQ(findLog("operational")->getIndex, SVC_GET_BB);
    EXPECT_EQ(findLog("matrix")->setIndex, SVC_SET_MATRIX);
    EXPECT_EQ(logFileName(*findLog("bb")), "OperationalData.log");
    EXPECT_EQ(findLog("event"), nullptr);
    EXPECT_EQ(findLog(""), nullptr);
}

// ------------------------------------------------------------ command line

struct Parsed {
    ParseStatus status;
    Invocation inv;
    std::string message;
};

Parsed parseLine(const std::string &line)
{
    static ParserPtr parser = makeParser(true);
    Parsed p{};
    int code = 0;
    p.status = parseShellLine(*parser, line, &p.inv, &p.message, &code);
    return p;
}

TEST(CommandLine, ReadsAliasesRawNamesAndTheirOptions)
{
    Parsed temp = parseLine("set-temp -5");
    ASSERT_EQ(temp.status, PARSE_OK) << temp.message;
    EXPECT_EQ(temp.inv.kind, INVOKE_ALIAS);
    EXPECT_EQ(temp.inv.args, std::vector<std::string>{"-5"});

    Parsed log = parseLine("get-log events --rotated 2 -o /tmp/x");
    ASSERT_EQ(log.status, PARSE_OK) << log.message;
    EXPECT_EQ(log.inv.rotated, 2);
    EXPECT_EQ(log.inv.output, "/tmp/x");

    Parsed raw = parseLine("MCH_PRINT_TXT \"two words\"");
    ASSERT_EQ(raw.status, PARSE_OK) << raw.message;
    EXPECT_EQ(raw.inv.kind, INVOKE_RAW);
    EXPECT_STREQ(raw.inv.command->name, "MCH_PRINT_TXT");
    EXPECT_EQ(raw.inv.args, std::vector<std::string>{"two words"});

    // Options from one command never stick to the next line.
    Parsed plain = parseLine("get-log bb");
    EXPECT_EQ(plain.inv.rotated, 0);
    EXPECT_TRUE(plain.inv.output.empty());

    EXPECT_EQ(parseLine("state --interval 500").status, PARSE_FAILED);  // needs --follow
    EXPECT_EQ(parseLine("state --raw --json").status, PARSE_FAILED);
    EXPECT_EQ(parseLine("get-log events --rotated 1000").status, PARSE_FAILED);
    EXPECT_EQ(parseLine("install-data pkg.tar.gz").status, PARSE_OK);  // the .sig beside it
    Parsed typo = parseLine("sett-speed 5");
    EXPECT_EQ(typo.status, PARSE_FAILED);
    EXPECT_NE(typo.message.find("did you mean \"set-speed\""), std::string::npos) << typo.message;
    EXPECT_EQ(parseLine("no-such-command").status, PARSE_FAILED);
    EXPECT_EQ(parseLine("exit").inv.kind, INVOKE_EXIT);
}

int prepare(const std::string &line, PreparedRequest *request)
{
    Parsed p = parseLine(line);
    EXPECT_EQ(p.status, PARSE_OK) << line << ": " << p.message;
    // Usage messages go to stderr; keep the test output readable.
    fflush(stderr);
    return prepareInvocation(p.inv, request);
}

TEST(CommandLine, PreparesFileCommandsBeforeConnecting)
{
    char path[] = "/tmp/mifctl-prepXXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, "1;a:b\n", 6), 6);
    close(fd);
    const std::string file = path;

    PreparedRequest req;
    // Logs that take "N:" always get one, so a colon in the file is safe.
    ASSERT_EQ(prepare("set-log events " + file, &req), EXIT_ANSWER_OK);
    EXPECT_EQ(req.index, SVC_SET_EVENTS);
    ASSERT_EQ(req.pieces.size(), 2u);
    EXPECT_EQ(std::string(req.pieces[0].bytes.begin(), req.pieces[0].bytes.end()), "0:");
    EXPECT_EQ(req.pieces[1].size, 6u);
    ASSERT_EQ(prepare("set-log repaevents " + file + " --index 3", &req), EXIT_ANSWER_OK);
    EXPECT_EQ(std::string(req.pieces[0].bytes.begin(), req.pieces[0].bytes.end()), "3:");
    ASSERT_EQ(prepare("set-log eventlist " + file, &req), EXIT_ANSWER_OK);
    EXPECT_EQ(req.pieces.size(), 1u);
    EXPECT_EQ(prepare("set-log eventlist " + file + " --index 2", &req), EXIT_USAGE);
    EXPECT_EQ(prepare("set-log nolog " + file, &req), EXIT_USAGE);
    EXPECT_EQ(prepare("set-log events /nonexistent/file", &req), EXIT_USAGE);

    ASSERT_EQ(prepare("get-log events --rotated 2", &req), EXIT_ANSWER_OK);
    EXPECT_EQ(req.kind, REQUEST_DOWNLOAD);
    EXPECT_EQ(req.payload, "2");
    EXPECT_EQ(req.output, "Events.log.2");
    ASSERT_EQ(prepare("SVC_GET_MATRIX 1 -o -", &req), EXIT_ANSWER_OK);
    EXPECT_EQ(req.payload, "1");
    EXPECT_EQ(req.output, "-");

    ASSERT_EQ(prepare("set-ipaddr 192.0.2.10", &req), EXIT_ANSWER_OK);
    EXPECT_EQ(req.pieces[0].size, 11u);  // the address and a line end
    EXPECT_EQ(prepare("set-ipaddr 192.0.2", &req), EXIT_USAGE);
    // A signature is exactly 256 bytes; without --sig it is PACKAGE.sig.
    EXPECT_EQ(prepare("install-data " + file + " --sig " + file, &req), EXIT_USAGE);
    EXPECT_EQ(prepare("install-data " + file, &req), EXIT_USAGE);
    const std::string signature = file + ".sig";
    FILE *sig = fopen(signature.c_str(), "wb");
    ASSERT_NE(sig, nullptr);
    ASSERT_EQ(fwrite(std::string(256, 'S').data(), 1, 256, sig), 256u);
    fclose(sig);
    ASSERT_EQ(prepare("install-data " + file, &req), EXIT_ANSWER_OK);
    ASSERT_EQ(req.pieces.size(), 2u);
    EXPECT_EQ(req.pieces[0].path, signature);
    EXPECT_EQ(req.pieces[1].path, file);
    unlink(signature.c_str());

    // The speed and the weight's labelled form are prepared too.
    ASSERT_EQ(prepare("set-speed 3", &req), EXIT_ANSWER_OK);
    EXPECT_EQ(req.index, MCH_SET_SPEED);
    EXPECT_EQ(req.payload, "3.0");
    EXPECT_EQ(prepare("set-speed 3.3", &req), EXIT_USAGE);
    ASSERT_EQ(prepare("weight --json", &req), EXIT_ANSWER_OK);
    EXPECT_EQ(req.kind, REQUEST_WEIGHT);
    ASSERT_EQ(prepare("weight", &req), EXIT_ANSWER_OK);
    EXPECT_EQ(req.kind, REQUEST_PLAIN);

    ASSERT_EQ(prepare("set-clock 01.01.2030 12:00:00", &req), EXIT_ANSWER_OK);
    EXPECT_EQ(req.payload, "01.01.2030-12:00:00");
    ASSERT_EQ(prepare("set-clock now", &req), EXIT_ANSWER_OK);
    EXPECT_EQ(req.payload.size(), 19u);
    unlink(path);
}

} // namespace
