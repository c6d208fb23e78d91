// Every command handler of the daemon's table reading any argument, with
// machine control standing in as always successful (mcl_stand_in.cpp): the
// number forms, the speed forms, the light pair, the clock text, the serial
// and OTP forms, the calibration arguments. The first input byte picks the
// command, the rest is its payload. Every handler answers under the
// request's index and tag; only a command without answer returns nothing.
// Uploads are fuzzed by upload_prefix, file answers by log_scan.
#include <cstring>

#include "frame/run_state.h"
#include "fuzz_support.h"
#include "session/command_list.h"
#include "session/command_table.h"
#include "session/daemon_commands.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzzSetup();
    installCommandTable(kDaemonCommandTable);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const int32_t index = data[0] % COMMAND_COUNT;
    if (getCmdTransferType(index) == TRANSFER_TO_APPLIANCE)
        return 0;
    CommandHandler handler = getCmdHandler(index);
    if (!handler)
        return 0;
    Command *request = createRawCommand(index, 4711, data + 1, uint32_t(size - 1));
    if (!request)
        return 0;
    SocketPair pair(1 << 16);
    Command *answer = handler(request, pair.far);
    if (answer) {
        FUZZ_CHECK(answer->index == index && answer->tag == 4711);
        FUZZ_CHECK(answer->length == 0 || answer->data != nullptr);
    } else {
        FUZZ_CHECK(index == CMD_ERROR || index == MCH_SHUTDOWN);
    }
    deleteCommand(&answer);
    deleteCommand(&request);
    // MCH_SHUTDOWN and friends ask the daemon to end; the next input starts
    // from a running daemon again.
    shutdownRequested = false;
    stopRequested = false;
    return 0;
}
