// The two commands that read and write the serial numbers.
#include <cctype>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "commands/service/identity.h"
#include "commands/service/otp.h"
#include "commands/service/service_commands.h"
#include "platform/atomic_file.h"
#include "platform/paths.h"
#include "requests/remote_if.h"
#include "session/auth.h"
#include "session/command_table.h"

namespace {

// One identity command at a time, even while a displaced session is still
// finishing its last request.
std::mutex commandLock;

uint32_t backendWord(unsigned n)
{
    const uint8_t *bytes = identityCache.backendVersions + 4 * n;
    return uint32_t(bytes[0]) | uint32_t(bytes[1]) << 8 | uint32_t(bytes[2]) << 16 | uint32_t(bytes[3]) << 24;
}

// Client numbers are decimal identity numbers: leading zeros are padding
// (as in the serial file), not the mark of an octal number. "0x" still
// selects hexadecimal.
const char *withoutPaddingZeros(const char *text)
{
    while (text[0] == '0' && text[1] >= '0' && text[1] <= '9')
        text++;
    return text;
}

// Whether the number text starts, after white space, with a sign.
bool hasSign(const char *text)
{
    while (isspace(static_cast<unsigned char>(*text)))
        text++;
    return *text == '-' || *text == '+';
}

// Writes the serial file so that a power cut leaves the old or the new
// serial, never a torn file.
bool writeSerialFile(const char *digits)
{
    std::string path = mifPath(SERIAL_FILE);
    AtomicFile file;
    if (atomicFileOpen(&file, path.c_str()) != 0) {
        consoleLog(2, "Cannot open serial number file for writing!\n");
        return false;
    }
    if (atomicFileWrite(&file, digits, SERIAL_DIGITS) != 0 || atomicFileCommit(&file) != 0) {
        atomicFileAbort(&file);
        consoleLog(2, "Writing serial to flash failed!\n");
        return false;
    }
    return true;
}

Command *setApplianceSerial(const Command *request, uint64_t serial)
{
    int32_t index = request->index, tag = request->tag;
    // Service levels may set a missing serial; only full access replaces one.
    if (getClientAuthLevel() < AUTH_FULL && identityCache.serial != 0)
        return createStringCommand(index, tag, "NAK: Serial already set");
    if (serial > SERIAL_MAX)
        return createStringCommand(index, tag, "NAK: Serial too big");
    if (serialCheckDigit(serial) == 255)
        return createStringCommand(index, tag, "NAK: Wrong checksum in serial");

    char record[64];
    if (snprintf(record, sizeof record, "MCH_SET_SERIAL,%017" PRIu64, serial) <= 0)
        return createStringCommand(index, tag, "NAK: Writing serial failed");
    LOGGER_LogBlackboxRecord("RS", record);
    LOGGER_LogBlackboxRecord("RE", record);

    char digits[32];
    if (snprintf(digits, sizeof digits, "%017" PRIu64, serial) != SERIAL_DIGITS) {
        consoleLog(2, "Failed to convert serial to string!\n");
        return createStringCommand(index, tag, "NAK: Writing serial failed");
    }
    if (!writeSerialFile(digits))
        return createStringCommand(index, tag, "NAK: Writing serial failed");
    identityCache.serial = serial;
    return createAckCommand(index, tag);
}

} // namespace

Command *cmdHandler_MCHGetSerial(Command *request, int /*socket*/)
{
    MIF_TRACE_ENTER();
    std::lock_guard<std::mutex> guard(commandLock);
    IdentityCache &cache = identityCache;

    if (backendWord(2) == 0) {
        uint8_t versions[32];
        if (RemoteIF_getVersion(versions))
            memcpy(cache.backendVersions, versions, sizeof versions);
        else
            consoleLog(2, "Machine Control failed to acquire backend versions!\n");
    }
    if (cache.backendSerial[0] == '\0') {
        // One byte more than asked for, so the text ends within the buffer
        // even when machine control fills all 32 bytes.
        uint8_t serial[BACKEND_SERIAL_SIZE + 1] = {};
        if (RemoteIF_getBackendSerialNumber(serial, BACKEND_SERIAL_SIZE)) {
            const char *text = reinterpret_cast<const char *>(serial);
            snprintf(cache.backendSerial, sizeof cache.backendSerial, "%.14s   %c%s", text, text[14], text + 15);
        } else {
            consoleLog(2, "Machine Control failed to acquire backend serial!\n");
        }
    }
    readDataPackageVersion();

    const char *frontEnd = strlen(cache.frontEndVersion) > 3 ? cache.frontEndVersion + 3 : "";
    uint64_t fean = cache.otpValueB;
    const uint64_t e13 = 10000000000000ull, e5 = 100000ull;
    Command *answer = createStringCommand(
        request->index, request->tag,
        "QX:%" PRIu64 ",FE:%" PRIu64 ",BE:%s,SWFE:%s,BEHW:0x%08X,SWMC:0x%08X,SWPC:0x%08X,RCPK:%s,FEAN:%04" PRIu64
        "PA%08" PRIu64 "   %05" PRIu64,
        cache.serial, cache.otpValueA, cache.backendSerial, frontEnd, unsigned(backendWord(2)),
        unsigned(backendWord(0)), unsigned(backendWord(1)), cache.dataPackageVersion, fean / e13,
        fean % e13 / e5, fean % e5);
    MIF_TRACE_LEAVE();
    return answer;
}

Command *cmdHandler_MCHSetSerial(Command *request, int /*socket*/)
{
    MIF_TRACE_ENTER();
    std::lock_guard<std::mutex> guard(commandLock);
    const char *text = commandText(request);
    if (!text || !*text) {
        MIF_TRACE_LEAVE();
        return createStringCommand(request->index, request->tag, "NAK: Argument missing, expected serial number");
    }
    const char *colon = strchr(text, ':');
    const char *number = colon ? colon + 1 : text;
    if (!*number) {
        // The conversion would read nothing as 0, and a burnt 0 is for ever.
        MIF_TRACE_LEAVE();
        return createStringCommand(request->index, request->tag, "NAK: Argument missing, expected serial number");
    }
    if (colon && hasSign(number)) {
        // A signed number would be burnt as its 64-bit wrap-around: "-1" is
        // every bit set.
        MIF_TRACE_LEAVE();
        return createStringCommand(request->index, request->tag, "NAK: Wrong number format in argument");
    }
    Command *error = nullptr;
    uint64_t value = parseArgUINT64(request, withoutPaddingZeros(number), &error);
    if (error) {
        MIF_TRACE_LEAVE();
        return error;
    }
    Command *answer = nullptr;
    if (!colon) {
        answer = setApplianceSerial(request, value);
    } else {
        // The name before the colon picks the OTP pair; it is checked as a
        // command of its own so that a wrong name gets the usual answer.
        std::string prefix(text, size_t(colon - text));
        Command name{request->index, request->tag, uint32_t(prefix.size() + 1),
                     reinterpret_cast<uint8_t *>(prefix.data())};
        int valueA = parseArgBool(&name, "PEDEU", "FEEAN", &error);
        answer = error ? error : burnOTPValue(request, valueA ? OTP_VALUE_A : OTP_VALUE_B, value);
    }
    MIF_TRACE_LEAVE();
    return answer;
}
