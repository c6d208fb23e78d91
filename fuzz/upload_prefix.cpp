// An upload of a service log with its index prefix ("N:" naming the copy it
// replaces), as the daemon takes it from the socket: any content, any
// prefix. Either every byte lands in exactly the file the prefix names and
// nowhere else, or the upload fails and nothing changes; every announced
// byte is taken from the socket in both cases.
#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>

#include "commands/service/file_commands.h"
#include "fuzz_support.h"
#include "session/socket_io.h"

namespace {

const char *const kDir = "/mnt/rwfs/data/tech_box";
const char *const kLog = "/mnt/rwfs/data/tech_box/Events.log";
const uint8_t kOld[] = "old content\n";

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzzSetup();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzzClearDirectory(kDir);
    fuzzWriteFile(kLog, kOld, sizeof kOld - 1);

    // The bytes announced and a marker after them that must stay unread.
    SocketPair pair;
    std::vector<uint8_t> stream(data, data + size);
    stream.push_back('#');
    if (!pair.feed(stream.data(), stream.size()))
        return 0;
    uint32_t prefix = 12345;
    uint32_t taken = receiveFile(pair.far, kLog, uint32_t(size), &prefix);
    uint8_t next = 0;
    FUZZ_CHECK(socket_recv(pair.far, &next, 1, 0, 1000) == 1 && next == '#');

    std::vector<std::string> names = fuzzListDirectory(kDir);
    std::sort(names.begin(), names.end());
    std::vector<uint8_t> content;
    const std::vector<uint8_t> old(kOld, kOld + sizeof kOld - 1);
    if (taken == 0) {
        // Refused: the old file alone, unchanged, and no leftovers.
        FUZZ_CHECK(names == std::vector<std::string>{"Events.log"});
        FUZZ_CHECK(fuzzReadFile(kLog, &content) && content == old);
        return 0;
    }
    FUZZ_CHECK(taken == size);
    FUZZ_CHECK(prefix <= size && prefix <= FILE_BLOCK_SIZE);   // the colon is in the first block
    std::string target = "Events.log";
    if (prefix > 0) {
        FUZZ_CHECK(data[prefix - 1] == ':');
        FUZZ_CHECK(memchr(data, ':', prefix - 1) == nullptr);
        std::string number(reinterpret_cast<const char *>(data), prefix - 1);
        unsigned long n = strtoul(number.c_str(), nullptr, 0);
        FUZZ_CHECK(n <= 999);
        if (n > 0)
            target += "." + std::to_string(n);
    }
    std::vector<uint8_t> expected(data + prefix, data + size);
    FUZZ_CHECK(fuzzReadFile(std::string(kDir) + "/" + target, &content) && content == expected);
    // Only the named file changed: nothing else was written or left behind.
    std::vector<std::string> wanted{"Events.log"};
    if (target != "Events.log") {
        wanted.push_back(target);
        FUZZ_CHECK(fuzzReadFile(kLog, &content) && content == old);
    }
    std::sort(wanted.begin(), wanted.end());
    FUZZ_CHECK(names == wanted);
    return 0;
}
