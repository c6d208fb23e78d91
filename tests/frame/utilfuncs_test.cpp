#include "frame/mif_utilfuncs.h"

#include <cstring>
#include <string>

#include <gtest/gtest.h>

namespace {

std::string text(const Command *c) { return c && c->data ? std::string(reinterpret_cast<char *>(c->data)) : ""; }

// A request as the frame reader builds it: a text argument with its NUL, or
// raw bytes that may lack it.
struct Request {
    Command *command;
    explicit Request(const char *payload)
        : command(createRawCommand(30, 77, payload, payload ? uint32_t(strlen(payload) + 1) : 0))
    {
    }
    static Request raw(const void *bytes, uint32_t length)
    {
        Request r(nullptr);
        deleteCommand(&r.command);
        r.command = createRawCommand(30, 77, bytes, length);
        return r;
    }
    Request(Request &&other) noexcept : command(other.command) { other.command = nullptr; }
    ~Request() { deleteCommand(&command); }
};

TEST(Commands, AckStringAndUIntAnswers)
{
    Command *ack = createAckCommand(17, 7);
    ASSERT_NE(ack, nullptr);
    EXPECT_EQ(ack->index, 17);
    EXPECT_EQ(ack->tag, 7);
    EXPECT_EQ(ack->length, 4u);
    EXPECT_EQ(0, memcmp(ack->data, "ACK", 4));

    Command *none = createStringCommand(3, 4, nullptr);
    ASSERT_NE(none, nullptr);
    EXPECT_EQ(none->length, 0u);
    EXPECT_EQ(none->data, nullptr);

    Command *value = createUIntCommand(42, -1, 4294967295u);
    EXPECT_EQ(text(value), "4294967295");
    EXPECT_EQ(value->length, 11u);

    deleteCommand(&ack);
    EXPECT_EQ(ack, nullptr);
    deleteCommand(&ack);        // a second delete of the same variable does nothing
    deleteCommand(nullptr);
    deleteCommand(&none);
    deleteCommand(&value);
}

TEST(Commands, PayloadWithoutNulIsReadUpToItsEnd)
{
    const char bytes[] = {'O', 'N'};   // the client forgot the NUL
    Request r = Request::raw(bytes, 2);
    ASSERT_NE(commandText(r.command), nullptr);
    EXPECT_STREQ(commandText(r.command), "ON");
    Command *error = nullptr;
    EXPECT_EQ(parseArgBool(r.command, "ON", "OFF", &error), 1);
    EXPECT_EQ(error, nullptr);

    const char embedded[] = {'1', '2', 0, 'x'};
    Request e = Request::raw(embedded, 4);
    EXPECT_EQ(parseArgUINT32(e.command, commandText(e.command), &error), 12u);
    EXPECT_EQ(error, nullptr);
}

TEST(ParseArgBool, WordsAndTheirAnswers)
{
    struct Case { const char *payload; int value; const char *answer; } cases[] = {
        {"ON", 1, nullptr},
        {"OFF", 0, nullptr},
        {"on", 0, "NAK: Wrong arguments, use ON or OFF"},
        {"ON ", 0, "NAK: Wrong arguments, use ON or OFF"},
        {nullptr, 0, "NAK: No arguments, use ON or OFF"},
    };
    for (const Case &c : cases) {
        Request r(c.payload);
        Command *error = nullptr;
        EXPECT_EQ(parseArgBool(r.command, "ON", "OFF", &error), c.value) << (c.payload ? c.payload : "null");
        if (c.answer) {
            ASSERT_NE(error, nullptr);
            EXPECT_EQ(text(error), c.answer);
            EXPECT_EQ(error->index, 30);
            EXPECT_EQ(error->tag, 77);
        } else {
            EXPECT_EQ(error, nullptr);
        }
        deleteCommand(&error);
    }
    Request r("ON");
    Command *error = nullptr;
    parseArgBool(r.command, nullptr, "OFF", &error);
    EXPECT_EQ(text(error), "NAK: No or insufficient arguments");
    deleteCommand(&error);
}

// Every parser: the value and, for bad input, the answer.
TEST(NumberParsers, ValuesAndAnswers)
{
    const char *wrong = "NAK: Wrong number format in argument";
    const char *missing = "NAK: No or insufficient arguments";
    struct U32 { const char *text; uint32_t value; const char *answer; } u32[] = {
        {"0x10", 16, nullptr},         {"010", 8, nullptr},          {"42", 42, nullptr},
        {" 7", 7, nullptr},            {"-1", 4294967295u, nullptr}, {"4294967295", 4294967295u, nullptr},
        {"12ab", 12, wrong},           {"5\n", 5, wrong},            {"5 ", 5, wrong},
        {"4294967296", 4294967295u, wrong}, {"99999999999", 4294967295u, wrong},
        {"abc", 0, wrong},             {"-", 0, wrong},              {nullptr, 4294967295u, missing},
    };
    Request req("unused");
    for (const U32 &c : u32) {
        Command *error = nullptr;
        EXPECT_EQ(parseArgUINT32(req.command, c.text, &error), c.value) << (c.text ? c.text : "null");
        EXPECT_EQ(error ? text(error) : std::string(), c.answer ? c.answer : "") << (c.text ? c.text : "null");
        deleteCommand(&error);
    }

    struct I32 { const char *text; int32_t value; const char *answer; } i32[] = {
        {"-2147483648", INT32_MIN, nullptr}, {"2147483647", INT32_MAX, nullptr}, {"0x1F4", 500, nullptr},
        {"2147483648", INT32_MAX, wrong},    {"-2147483649", INT32_MIN, wrong},  {"1.5", 1, wrong},
        {nullptr, INT32_MAX, missing},
    };
    for (const I32 &c : i32) {
        Command *error = nullptr;
        EXPECT_EQ(parseArgINT32(req.command, c.text, &error), c.value) << (c.text ? c.text : "null");
        EXPECT_EQ(error ? text(error) : std::string(), c.answer ? c.answer : "") << (c.text ? c.text : "null");
        deleteCommand(&error);
    }

    struct U64 { const char *text; uint64_t value; const char *answer; } u64[] = {
        {"12345678901234560", 12345678901234560ull, nullptr},
        {"18446744073709551615", UINT64_MAX, nullptr},
        {"18446744073709551616", UINT64_MAX, wrong},
        {"12x", 12, wrong},
        {nullptr, UINT64_MAX, missing},
    };
    for (const U64 &c : u64) {
        Command *error = nullptr;
        EXPECT_EQ(parseArgUINT64(req.command, c.text, &error), c.value) << (c.text ? c.text : "null");
        EXPECT_EQ(error ? text(error) : std::string(), c.answer ? c.answer : "") << (c.text ? c.text : "null");
        deleteCommand(&error);
    }
}

} // namespace
