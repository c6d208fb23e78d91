// Burning identity values into the processor's one-time programmable memory
// through its kernel driver's sysfs files. Each step reports failure by
// result and logs it with the system error.
#pragma once

#include <cstdint>

#include "frame/mif_utilfuncs.h"

#define OTP_ID_FILE "/sys/uid/otp/id"
#define OTP_UNLOCK_FILE "/sys/module/unique_id/parameters/unlock"
#define OTP_FULL_ACCESS_FILE "/sys/module/otp/parameters/otp_full"

// Switches the driver's write access on or off.
bool enableOTPWriteAccess(bool on);
// Writes a word assignment such as "2:0x0000002A,3:0x00000000".
bool burnSerial(const char *assignment);
// Opens the lock word to writing, or closes it again.
bool enableOTPFullAccess(bool on);
// Writes the lock word assignment, "0x10:0x0000000C" for words 2 and 3.
bool lockOTP(const char *lockText);

enum OtpValue { OTP_VALUE_A, OTP_VALUE_B };

// Why a value may not be burnt into the pair, as the answer text; null when
// it may. A burnt value must read back as itself (not all bits set) and fit
// the serial answer's fixed layout; 0 would lock the pair unburnt.
const char *otpValueRefusal(OtpValue which, uint64_t value);

// MCH_SET_SERIAL for an OTP value ("PEDEU" is A, "FEEAN" is B): refuses a
// value that may not be burnt or a pair that is already set (in the cache or
// on the device), burns, reads back, locks the pair, and answers under the
// request's index and tag. A pair that already holds exactly this value but
// was never locked is only locked. Write and full access are switched off
// again after every attempt.
Command *burnOTPValue(const Command *request, OtpValue which, uint64_t value);
