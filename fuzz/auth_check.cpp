// The answer to the challenge with arbitrary signatures of any length: it is
// refused with the one refusal text, under MCH_CHAP and the request's tag,
// and grants no level.
#include <cstring>

#include "fuzz_support.h"
#include "session/auth.h"
#include "session/command_table.h"
#include "session/command_list.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzzSetup();
    Command *challenge = createChallenge();
    if (!challenge)
        abort();
    deleteCommand(&challenge);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Command *request = createRawCommand(MCH_CHAP, 11, data, uint32_t(size));
    if (!request)
        return 0;
    Command *answer = checkChallenge(request, -1);
    FUZZ_CHECK(answer != nullptr);
    FUZZ_CHECK(answer->index == MCH_CHAP && answer->tag == 11);
    const char *text = commandText(answer);
    FUZZ_CHECK(text && strcmp(text, "NAK: Authorization failed") == 0);
    FUZZ_CHECK(getClientAuthLevel() == AUTH_NONE);
    deleteCommand(&answer);
    deleteCommand(&request);
    return 0;
}
