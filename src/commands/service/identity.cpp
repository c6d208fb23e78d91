// The identity cache and the sources it is filled from.
#include "commands/service/identity.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sys/stat.h>

#include "commands/service/stdio_file.h"
#include "frame/log.h"
#include "platform/paths.h"
#include "platform/shell.h"

// Nothing known: no serial, both OTP values unreadable, no versions.
static const IdentityCache kUnknownIdentity = {0, OTP_UNREADABLE, OTP_UNREADABLE, "", "", {}, ""};

IdentityCache identityCache = kUnknownIdentity;

namespace {

// The first line of /tmp/SW_VERSION, at most 255 characters; empty when the
// file is missing.
void readFrontEndVersion()
{
    char *text = identityCache.frontEndVersion;
    text[0] = '\0';
    StdioFile file = openApplianceFile(SW_VERSION_FILE, "r");
    if (!file)
        return;
    size_t length = 0;
    int c;
    while (length < VERSION_TEXT_SIZE - 1 && (c = fgetc(file.get())) != EOF && c != '\n')
        text[length++] = char(c);
    text[length] = '\0';
}

} // namespace

uint8_t serialCheckDigit(uint64_t value)
{
    uint8_t given = uint8_t(value % 10);
    uint64_t rest = value / 10;
    unsigned sum = 0;
    for (int position = 0; position < SERIAL_DIGITS - 1; position++) {
        unsigned digit = unsigned(rest % 10);
        sum += position % 2 == 0 ? 3 * digit : digit;
        rest /= 10;
    }
    if (rest != 0)
        return 255;   // more than 17 digits
    uint8_t expected = uint8_t((10 - sum % 10) % 10);
    return expected == given ? expected : 255;
}

uint64_t readSerialFromOTP(int which)
{
    StdioFile file = openApplianceFile(OTP_ID_BIN_FILE, "rb");
    if (!file) {
        LOGGER_LogMessage(3, 0, "%s,%i (fopen): %s\n", __func__, __LINE__, strerror(errno));
        return OTP_UNREADABLE;
    }
    if (which == 0 && fseek(file.get(), 8, SEEK_SET) != 0) {
        LOGGER_LogMessage(3, 0, "%s,%i (fseek): %s\n", __func__, __LINE__, strerror(errno));
        return OTP_UNREADABLE;
    }
    uint8_t bytes[8];
    errno = 0;
    if (fread(bytes, 1, sizeof bytes, file.get()) != sizeof bytes) {
        LOGGER_LogMessage(3, 0, "%s,%i (fread): %s\n", __func__, __LINE__, strerror(errno ? errno : EIO));
        return OTP_UNREADABLE;
    }
    // Little-endian: the lower-numbered word is the low half.
    uint64_t value = 0;
    for (int i = 7; i >= 0; i--)
        value = value << 8 | bytes[i];
    return value;
}

void readDataPackageVersion()
{
    char *text = identityCache.dataPackageVersion;
    text[0] = '\0';
    StdioFile file = openApplianceFile(DATA_PACKAGE_VERSION_FILE, "rb");
    struct stat status;
    if (!file || fstat(fileno(file.get()), &status) != 0) {
        consoleLog(0, "Cannot open data package version!\n");
        return;
    }
    if (status.st_size > VERSION_TEXT_SIZE - 1) {
        consoleLog(0, "Data package version corrupted!\n");
        return;
    }
    size_t size = size_t(status.st_size);
    if (fread(text, 1, size, file.get()) != size) {
        consoleLog(0, "Reading data package version failed!\n");
        text[0] = '\0';
        return;
    }
    text[size] = '\0';
}

uint64_t readSerialFile()
{
    StdioFile file = openApplianceFile(SERIAL_FILE, "rb");
    if (!file)
        return 0;
    char digits[SERIAL_DIGITS + 1] = {};
    if (fread(digits, 1, SERIAL_DIGITS, file.get()) != SERIAL_DIGITS)
        return 0;
    char *end = nullptr;
    errno = 0;
    unsigned long long value = strtoull(digits, &end, 10);
    if (errno != 0 || end != digits + SERIAL_DIGITS || value > SERIAL_MAX || serialCheckDigit(value) == 255)
        return 0;
    return value;
}

void readIdentity()
{
    MIF_TRACE_ENTER();
    identityCache = kUnknownIdentity;
    identityCache.otpValueB = readSerialFromOTP(0);
    identityCache.otpValueA = readSerialFromOTP(1);
    identityCache.serial = readSerialFile();
    readDataPackageVersion();
    runApplianceScript(SW_VERSION_SCRIPT);   // writes /tmp/SW_VERSION
    readFrontEndVersion();
    MIF_TRACE_LEAVE();
}
