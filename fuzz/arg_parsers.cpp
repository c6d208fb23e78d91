// The argument parsers over any payload: the first byte picks the parser
// (and the word pair of the boolean one), the rest is the payload as a
// client sends it. Each call yields a value or exactly one NAK answer.
#include <cstdio>
#include <cstring>
#include <type_traits>

#include "frame/mif_utilfuncs.h"
#include "fuzz_support.h"

namespace {

const char *const wordPairs[][2] = {{"ON", "OFF"}, {"CLOSE", "OPEN"}, {"REGULAR", "REVERSE"}, {"PEDEU", "FEEAN"}};

void checkNak(const Command *error)
{
    FUZZ_CHECK(error != nullptr);
    const char *text = commandText(error);
    FUZZ_CHECK(text && strncmp(text, "NAK: ", 5) == 0);
    FUZZ_CHECK(error->length == strlen(text) + 1);
}

// A value a parser accepted reads back the same from its decimal form.
template <typename Number>
void checkRoundTrip(Number (*parse)(const Command *, const char *, Command **), Number value)
{
    char text[32];
    if constexpr (std::is_signed_v<Number>)
        snprintf(text, sizeof text, "%lld", (long long)value);
    else
        snprintf(text, sizeof text, "%llu", (unsigned long long)value);
    Command scratch{};
    Command *error = nullptr;
    Number again = parse(&scratch, text, &error);
    FUZZ_CHECK(error == nullptr && again == value);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzzSetup();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const uint8_t selector = data[0];
    Command *request = createRawCommand(30, 7, data + 1, uint32_t(size - 1));
    if (!request)
        return 0;
    const char *text = commandText(request);
    Command *error = nullptr;

    switch (selector % 5) {
    case 0: {
        const char *const *words = wordPairs[(selector / 5) % 4];
        int value = parseArgBool(request, words[0], words[1], &error);
        if (error) {
            checkNak(error);
            FUZZ_CHECK(value == 0);
        } else {
            FUZZ_CHECK(text && strcmp(text, words[value ? 0 : 1]) == 0);
        }
        break;
    }
    case 1: {
        int32_t value = parseArgINT32(request, text, &error);
        if (error)
            checkNak(error);
        else
            checkRoundTrip(parseArgINT32, value);
        break;
    }
    case 2: {
        uint32_t value = parseArgUINT32(request, text, &error);
        if (error)
            checkNak(error);
        else
            checkRoundTrip(parseArgUINT32, value);
        break;
    }
    case 3: {
        uint64_t value = parseArgUINT64(request, text, &error);
        if (error)
            checkNak(error);
        else
            checkRoundTrip(parseArgUINT64, value);
        break;
    }
    case 4: {
        // A text in the middle of the payload, as handlers that read several
        // numbers from one argument pass it.
        size_t skip = text ? (selector / 5) % (strlen(text) + 1) : 0;
        int32_t value = parseArgINT32(request, text ? text + skip : nullptr, &error);
        if (error)
            checkNak(error);
        (void)value;
        break;
    }
    }
    // A parser that succeeded leaves the out-parameter alone.
    deleteCommand(&error);
    deleteCommand(&request);
    return 0;
}
