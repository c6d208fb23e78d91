// A stand-in for the kernel driver of the processor's one-time
// programmable memory, over plain files under MIF_ROOT:
//   /sys/uid/otp/id.bin                       words 0-3, 16 bytes, readable
//   /sys/uid/otp/id                           takes commands (below)
//   /sys/module/unique_id/parameters/unlock   "1" allows writing, "0" not
//   /sys/module/otp/parameters/otp_full       "1" opens the lock word
//
// Commands written to id: "W:0xHHHHHHHH[,W:0xHHHHHHHH...]" burns words
// W = 0..3 (bits only ever go from 0 to 1, as in fuses), refused while
// write access is off and for locked words; "0x10:0xMASK" locks the words
// whose bits are set in MASK, which needs full access as well. The lock
// word lasts across runs in /run/otp-locks.
//
// A driver acts on a write before the writer's next step: the daemon burns
// and at once reads id.bin back. The stand-in holds a lease on each file,
// so that any open of one waits until the driver has applied every write
// made so far; inotify makes it act on each write as it is closed. A lease
// comes back once the last opener has closed the file, so a reader that
// opens id.bin again the instant it closed it may come before the driver.
#pragma once

#include <cstdint>
#include <string>

#define OTP_ID_BIN "/sys/uid/otp/id.bin"
#define OTP_ID "/sys/uid/otp/id"
#define OTP_UNLOCK "/sys/module/unique_id/parameters/unlock"
#define OTP_FULL "/sys/module/otp/parameters/otp_full"
#define OTP_LOCKS "/run/otp-locks"

enum { OTP_WORDS = 4, OTP_LOCK_ADDRESS = 0x10 };

struct OtpMemory {
    uint32_t words[OTP_WORDS] = {};
    uint32_t lockMask = 0;
    bool unlocked = false;
    bool fullAccess = false;
};

// Applies one command text; `report` says what happened, a line per word.
// False when any part was refused or not understood (the rest is applied).
bool otpApplyCommand(OtpMemory &memory, const std::string &text, std::string *report);

// Creates the files (blank memory, access off) where missing.
bool otpCreateFiles(std::string *error);

// The driver's thread: start once, stop once (joins it).
bool otpDriverStart(std::string *error);
void otpDriverStop();

// The signal the driver's leases are broken with. Block it and SIGIO in
// every thread of the process before any thread starts.
int otpLeaseSignal();
