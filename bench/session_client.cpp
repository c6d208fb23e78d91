#include "session_client.h"

#include <cstring>

#include "raw_peers.h"
#include "session/wire.h"

std::string AnswerFrame::text() const
{
    size_t end = 0;
    while (end < payload.size() && payload[end])
        end++;
    return std::string(payload.begin(), payload.begin() + long(end));
}

bool sendFrame(int fd, int32_t index, int32_t tag, const void *payload, uint32_t length)
{
    std::vector<uint8_t> frame(FRAME_HEADER_SIZE + length);
    encodeFrameHeader(frame.data(), index, tag, length);
    if (length)
        memcpy(frame.data() + FRAME_HEADER_SIZE, payload, length);
    return sendAll(fd, frame.data(), frame.size());
}

bool readFrameHeader(int fd, int32_t *index, int32_t *tag, uint32_t *length)
{
    uint8_t header[FRAME_HEADER_SIZE];
    if (!receiveAll(fd, header, sizeof header))
        return false;
    decodeFrameHeader(header, index, tag, length);
    return true;
}

bool readFrame(int fd, AnswerFrame *frame)
{
    uint32_t length = 0;
    if (!readFrameHeader(fd, &frame->index, &frame->tag, &length) || length > FRAME_MAX_PAYLOAD)
        return false;
    frame->payload.resize(length);
    return length == 0 || receiveAll(fd, frame->payload.data(), length);
}

bool loadRoleKey(SigningKey *key, const std::string &role)
{
    signingSetup();
    std::string path = std::string(MIF_BENCH_SOURCE_DIR) + "/keys/dev/" + role + ".pem";
    return loadSigningKeyFile(key, path.c_str()) == CRYPT_OK;
}

bool authenticateSession(int fd, const SigningKey &key)
{
    AnswerFrame challenge;
    if (!readFrame(fd, &challenge) || challenge.index != 1 || challenge.tag != 42)
        return false;
    uint8_t signature[512];
    uint32_t length = sizeof signature;
    if (signChallenge(&key, challenge.payload.data(), uint32_t(challenge.payload.size()), signature, &length) !=
        CRYPT_OK)
        return false;
    AnswerFrame answer;
    return sendFrame(fd, 1, 11, signature, length) && readFrame(fd, &answer) && answer.text() == "ACK";
}
