// Burning the OTP identity values: unlock, write the two words, read them
// back, lock the pair, lock the driver again.
#include "commands/service/otp.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "commands/service/identity.h"
#include "platform/paths.h"

// Writes the bytes to a driver file in one write, as sysfs wants them (the
// driver ignores the truncation; a plain file in simulation holds the last
// write). A failure is logged under the step's name.
static bool writeDriverFile(const char *step, int line, const char *appliancePath, const void *data, size_t size)
{
    int error = 0;
    int fd = open(mifPath(appliancePath).c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    if (fd < 0) {
        error = errno;
    } else {
        ssize_t written;
        do {
            written = write(fd, data, size);
        } while (written < 0 && errno == EINTR);
        if (written < 0)
            error = errno;
        else if (size_t(written) != size)
            error = EIO;
        if (close(fd) != 0 && error == 0)
            error = errno;
    }
    if (error)
        LOGGER_LogMessage(3, 0, "%s,%i: %s\n", step, line, strerror(error));
    return error == 0;
}

// The driver takes its switches as a digit with its NUL.
bool enableOTPWriteAccess(bool on)
{
    return writeDriverFile(__func__, __LINE__, OTP_UNLOCK_FILE, on ? "1" : "0", 2);
}

bool burnSerial(const char *assignment)
{
    return writeDriverFile(__func__, __LINE__, OTP_ID_FILE, assignment, strlen(assignment));
}

bool enableOTPFullAccess(bool on)
{
    return writeDriverFile(__func__, __LINE__, OTP_FULL_ACCESS_FILE, on ? "1" : "0", 2);
}

bool lockOTP(const char *lockText)
{
    return writeDriverFile(__func__, __LINE__, OTP_ID_FILE, lockText, strlen(lockText));
}

const char *otpValueRefusal(OtpValue which, uint64_t value)
{
    // All bits set reads back as "unreadable", and would lock the pair in
    // that state for good.
    if (value == OTP_UNREADABLE)
        return "NAK: Serial too big";
    // The serial answer shows value B as "%04 PA%08   %05" digits: 17 at
    // most.
    if (which == OTP_VALUE_B && value > SERIAL_MAX)
        return "NAK: Serial too big";
    // A 0 burns no bit but the lock would keep the pair at "not set" for
    // ever.
    if (value == 0)
        return "NAK: Error writing serial to OTP";
    return nullptr;
}

Command *burnOTPValue(const Command *request, OtpValue which, uint64_t value)
{
    MIF_TRACE_ENTER();
    const int32_t index = request->index, tag = request->tag;
    if (const char *refusal = otpValueRefusal(which, value)) {
        MIF_TRACE_LEAVE();
        return createStringCommand(index, tag, "%s", refusal);
    }
    uint64_t *cached = which == OTP_VALUE_A ? &identityCache.otpValueA : &identityCache.otpValueB;
    const int readIndex = which == OTP_VALUE_A ? 1 : 0;
    // An unreadable value counts as set: nothing is burnt blind. The device
    // decides as well as the cache: an attempt whose lock failed left its
    // value burnt but uncached, and burning another value over it would only
    // add bits to the written words.
    const uint64_t onDevice = *cached == 0 ? readSerialFromOTP(readIndex) : *cached;
    if (*cached != 0 || (onDevice != 0 && onDevice != value)) {
        MIF_TRACE_LEAVE();
        return createStringCommand(index, tag, "NAK: Serial already set");
    }
    // This very value burnt by an earlier attempt: only the lock is missing.
    const bool alreadyBurnt = onDevice == value;
    unsigned lowWord = which == OTP_VALUE_A ? 0 : 2;
    char assignment[64];
    snprintf(assignment, sizeof assignment, "%u:0x%08X,%u:0x%08X", lowWord, unsigned(value & 0xFFFFFFFFu),
             lowWord + 1, unsigned(value >> 32));

    uint64_t readBack = OTP_UNREADABLE;
    bool writable = enableOTPWriteAccess(true);
    if (writable && alreadyBurnt)
        readBack = value;
    else if (writable && burnSerial(assignment))
        readBack = readSerialFromOTP(readIndex);

    bool burnt = readBack == value;
    bool fullAccess = false;
    if (burnt && (fullAccess = enableOTPFullAccess(true))) {
        char lockText[32];
        snprintf(lockText, sizeof lockText, "0x10:0x%08X", 3u << lowWord);
        // Cached only once the pair is locked: until then a new attempt with
        // the same value may lock it.
        if (lockOTP(lockText))
            *cached = readBack;
    }
    // Both accesses go off again whatever failed on the way, so the OTP is
    // never left open to writing.
    if (fullAccess)
        enableOTPFullAccess(false);
    if (writable)
        enableOTPWriteAccess(false);

    MIF_TRACE_LEAVE();
    return burnt ? createAckCommand(index, tag) : createStringCommand(index, tag, "NAK: Error writing serial to OTP");
}
