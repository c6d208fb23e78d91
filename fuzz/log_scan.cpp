// A service log sent from the first line at or after a time bound, over any
// log content and any bound: the first 8 input bytes are the bound (0 sends
// the whole file), the rest is the log. What reaches the client is always a
// sequence of whole frames; a data frame carries exactly the file's tail
// from the start of a line whose time meets the bound.
#include <cstdlib>
#include <cstring>

#include "commands/service/file_commands.h"
#include "fuzz_support.h"
#include "session/command_list.h"

namespace {

const char *const kLog = "/mnt/rwfs/data/tech_box/Events.log";

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzzSetup();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 8)
        return 0;
    uint64_t bound;
    memcpy(&bound, data, sizeof bound);
    const uint8_t *log = data + 8;
    const size_t logSize = size - 8;
    fuzzWriteFile(kLog, log, logSize);

    SocketPair pair(4 << 20);
    Command *answer = createStringCommand(SVC_GET_EVENTS, 77, "%s", kLog);
    int result = sendFileCommand(pair.far, answer, bound);
    std::vector<uint8_t> bytes = pair.drain();
    if (result < 0)
        return 0;   // the session ends; what was sent may be cut short

    std::vector<SentFrame> frames;
    FUZZ_CHECK(splitFrames(bytes, &frames));
    FUZZ_CHECK(!frames.empty() && frames.size() <= 2);
    for (const SentFrame &frame : frames)
        FUZZ_CHECK(frame.index == SVC_GET_EVENTS && frame.tag == 77);

    const SentFrame &first = frames[0];
    if (bound == 0 && logSize > 0) {
        // The whole file.
        FUZZ_CHECK(frames.size() == 1 && first.payload == std::vector<uint8_t>(log, log + logSize));
        return 0;
    }
    if (frames.size() == 2) {
        FUZZ_CHECK(first.text() == MIF_NAK_INVALID_OFFSET);
        FUZZ_CHECK(frames[1].text() == "NAK: No data to send");
        return 0;
    }
    const std::string noData = "NAK: No data to send";
    if (first.text() == noData && first.payload.size() == noData.size() + 1)
        return 0;
    // A data frame: the tail of the file from the start of a line.
    const size_t length = first.payload.size();
    FUZZ_CHECK(length > 0 && length <= logSize);
    const size_t start = logSize - length;
    FUZZ_CHECK(memcmp(log + start, first.payload.data(), length) == 0);
    FUZZ_CHECK(start == 0 || log[start - 1] == '\n');
    // Its time meets the bound.
    const uint8_t *semicolon = static_cast<const uint8_t *>(memchr(log + start, ';', length));
    FUZZ_CHECK(semicolon != nullptr);
    std::string time(reinterpret_cast<const char *>(log + start), size_t(semicolon - (log + start)));
    FUZZ_CHECK(strtoull(time.c_str(), nullptr, 0) >= bound);
    return 0;
}
