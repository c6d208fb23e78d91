// The black-box payload of a log entry: two zero words, the code's and the
// message's lengths (each with its NUL), then both texts with their NULs.
// The daemon sends its records so (kind 3); machine control sends its
// events (kind 1) and errors (kind 2) the same way.
#pragma once

#include <cstdint>
#include <string>

#include "wire_bytes.h"

Bytes buildBlackBoxRecord(const std::string &code, const std::string &message);

// False when the payload is not laid out so; a message that follows the
// record as text of its own (kinds 1 and 2) is appended.
bool parseBlackBoxRecord(const uint8_t *payload, int length, std::string *code, std::string *message);
