#include "blackbox_record.h"

#include <cstring>

Bytes buildBlackBoxRecord(const std::string &code, const std::string &message)
{
    Bytes bytes(16, 0);
    putField<uint32_t>(bytes, 8, uint32_t(code.size() + 1));
    putField<uint32_t>(bytes, 12, uint32_t(message.size() + 1));
    bytes.insert(bytes.end(), code.begin(), code.end());
    bytes.push_back(0);
    bytes.insert(bytes.end(), message.begin(), message.end());
    bytes.push_back(0);
    return bytes;
}

namespace {

// The text of `length` bytes at `p`, up to its NUL.
std::string textOf(const uint8_t *p, size_t length)
{
    return std::string(reinterpret_cast<const char *>(p), strnlen(reinterpret_cast<const char *>(p), length));
}

}  // namespace

bool parseBlackBoxRecord(const uint8_t *payload, int length, std::string *code, std::string *message)
{
    if (!payload || length < 16)
        return false;
    uint32_t codeLength = getField<uint32_t>(payload, length, 8);
    uint32_t messageLength = getField<uint32_t>(payload, length, 12);
    uint64_t end = 16ull + codeLength + messageLength;
    if (codeLength == 0 || messageLength == 0 || end > uint64_t(length))
        return false;
    *code = textOf(payload + 16, codeLength);
    *message = textOf(payload + 16 + codeLength, messageLength);
    if (end < uint64_t(length)) {
        std::string extra = textOf(payload + end, size_t(length - end));
        if (!extra.empty())
            *message += (message->empty() ? "" : " ") + extra;
    }
    return true;
}
