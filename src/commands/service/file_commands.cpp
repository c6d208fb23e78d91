// The file sub-protocol and the handlers built on it (mif_filecmds).
#include "commands/service/file_commands.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "commands/service/identity.h"
#include "commands/service/install_data.h"
#include "commands/service/scale.h"
#include "platform/atomic_file.h"
#include "platform/audio.h"
#include "platform/paths.h"
#include "platform/shell.h"
#include "session/command_list.h"
#include "session/command_table.h"
#include "session/socket_io.h"
#include "session/wire.h"

namespace {

// Owns a descriptor for one scope.
struct Descriptor {
    int fd = -1;
    Descriptor() = default;
    ~Descriptor()
    {
        if (fd >= 0)
            close(fd);
    }
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
};

// Owns the answer a send call was handed: it is deleted however the call ends.
struct AnswerOwner {
    Command *command;
    ~AnswerOwner() { deleteCommand(&command); }
};

int errnoOr(int fallback) { return errno ? errno : fallback; }

uint32_t smaller(uint64_t a, uint64_t b) { return uint32_t(a < b ? a : b); }

// --------------------------------------------------------------- sending

// Reads exactly `length` bytes unless the file ends first. The count read,
// or -1 with errno set.
ssize_t readBlock(int fd, uint8_t *buffer, size_t length)
{
    size_t done = 0;
    while (done < length) {
        ssize_t n = read(fd, buffer + done, length - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        if (n == 0)
            break;
        done += size_t(n);
    }
    return ssize_t(done);
}

// Sends the whole buffer; 0, or the negative errno (-EIO without one).
int sendAll(int socket, const uint8_t *data, size_t length, int flags)
{
    errno = 0;
    if (socket_send(socket, data, length, flags) == ssize_t(length))
        return 0;
    LOGGER_LogMessage(3, 0, "%s,%i: %s\n", "sendFileCommand", __LINE__, strerror(errno));
    return -errnoOr(EIO);
}

// A NAK under the answer's index and tag. The result of the send.
int sendNak(int socket, const Command *answer, const char *text)
{
    Command *nak = createStringCommand(answer->index, answer->tag, "%s", text);
    if (!nak)
        return -ENOMEM;
    errno = 0;
    int result = sendPlainCommand(socket, &nak);
    if (result < 0)
        LOGGER_LogMessage(3, 0, "%s,%i: %s\n", "sendFileCommand", __LINE__, strerror(-result));
    return result;
}

// The log line times: "<number>;" with strtoull semantics in base 0. The
// number text is cut at the ';' in place (and restored).
bool parseLineTime(uint8_t *text, uint8_t *semicolon, uint64_t *time)
{
    *semicolon = 0;
    const char *begin = reinterpret_cast<const char *>(text);
    char *end = nullptr;
    errno = 0;
    unsigned long long value = strtoull(begin, &end, 0);
    bool ok = end != begin && end == reinterpret_cast<char *>(semicolon) && errno != ERANGE;
    *semicolon = ';';
    *time = value;
    return ok;
}

void logUnparsable(const char *why)
{
    consoleLog(0, "%s: Parsing frame data failed, %s?!\n", "sendFileCommand", why);
    LOGGER_LogMessage(3, 0, "%s,%i: Parsing frame data failed, %s?!\n", "sendFileCommand", __LINE__, why);
}

// Where a log scan ended.
enum ScanResult { SCAN_FOUND, SCAN_NOTHING, SCAN_INVALID, SCAN_FAILED };

struct LogScan {
    uint8_t *block;            // FILE_BLOCK_SIZE + 1 bytes
    size_t blockLength = 0;    // valid bytes in the block
    size_t lineStart = 0;      // the first line to send, within the block
    uint64_t lineOffset = 0;   // its offset in the file
    uint64_t readOffset = 0;   // where the next read starts
    int failure = 0;
};

// Walks the log's lines, one block at a time, up to the first line whose
// time is at or after the bound. A line that does not end inside its block
// is carried to the start of the next one.
ScanResult scanForBound(int fd, uint64_t size, uint64_t bound, LogScan *scan)
{
    size_t carried = 0;
    for (;;) {
        if (scan->readOffset >= size) {
            if (carried == 0)
                return SCAN_NOTHING;
            logUnparsable("file truncated");
            scan->failure = FILE_UNPARSABLE;
            return SCAN_FAILED;
        }
        size_t want = smaller(FILE_BLOCK_SIZE - carried, size - scan->readOffset);
        ssize_t got = readBlock(fd, scan->block + carried, want);
        if (got < 0) {
            LOGGER_LogMessage(3, 0, "%s,%i: %s\n", "sendFileCommand", __LINE__, strerror(errno));
            scan->failure = -errnoOr(EIO);
            return SCAN_FAILED;
        }
        if (size_t(got) < want) {
            // The file shrank since its size was taken.
            logUnparsable("file truncated");
            scan->failure = FILE_UNPARSABLE;
            return SCAN_FAILED;
        }
        const size_t length = carried + size_t(got);
        const uint64_t blockOffset = scan->readOffset - carried;
        scan->readOffset += uint64_t(got);
        scan->blockLength = length;

        size_t line = 0;
        while (line < length) {
            uint8_t *semicolon = static_cast<uint8_t *>(memchr(scan->block + line, ';', length - line));
            if (!semicolon)
                break;   // carry: the time is not complete in this block
            uint64_t time = 0;
            if (!parseLineTime(scan->block + line, semicolon, &time)) {
                std::string text(reinterpret_cast<const char *>(scan->block + line),
                                 size_t(semicolon - (scan->block + line)));
                blankControlBytes(text.data());   // an uploaded log's bytes: one line on the console
                consoleLog(0, "%s: Error converting '%s' to intgr!\n", "sendFileCommand", text.c_str());
                LOGGER_LogMessage(3, 0, "%s,%i: Error converting '%s' to intgr!\n", "sendFileCommand", __LINE__,
                                  text.c_str());
                return SCAN_INVALID;
            }
            if (time >= bound) {
                scan->lineStart = line;
                scan->lineOffset = blockOffset + line;
                return SCAN_FOUND;
            }
            uint8_t *feed = static_cast<uint8_t *>(
                memchr(semicolon, '\n', length - size_t(semicolon - scan->block)));
            if (!feed)
                break;   // carry: the line goes on in the next block
            line = size_t(feed - scan->block) + 1;
        }
        carried = length - line;
        if (carried >= FILE_BLOCK_SIZE) {
            logUnparsable("file formatted incorrectly");
            scan->failure = FILE_UNPARSABLE;
            return SCAN_FAILED;
        }
        memmove(scan->block, scan->block + line, carried);
    }
}

// ------------------------------------------------------------- receiving

// Where an upload goes: a device written directly, or a regular file whose
// new content waits in a temporary file until every byte is in.
struct UploadTarget {
    Descriptor device;
    AtomicFile file;
    bool atomic = false;
    bool inPlace = false;   // the content is copied into the file, not renamed over it
    bool open = false;
    ~UploadTarget()
    {
        if (atomic)
            atomicFileAbort(&file);
    }
};

// Whether only the daemon writes the file: the data package and its
// signature, which it unpacks and removes itself. Every other upload target
// (the service logs, the address file) is held open or written by other
// processes too, so an upload must keep its inode, owner and mode.
bool onlyTheDaemonWrites(const std::string &appliancePath)
{
    Command row{MCH_INSTALL_DATA, 0, 0, nullptr};
    const char *package = getCmdFilename(&row);
    return package &&
           (appliancePath == package || appliancePath == std::string(package) + INSTALL_SIGNATURE_SUFFIX);
}

// The file an upload to `path` (a host path) replaces: a symbolic link
// keeps pointing where it did, so the file it names is the one replaced.
std::string replacedFilePath(const std::string &path)
{
    struct stat link;
    if (lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode)) {
        if (char *resolved = realpath(path.c_str(), nullptr)) {
            std::string target = resolved;
            free(resolved);
            return target;
        }
    }
    return path;
}

int openTarget(UploadTarget *target, const std::string &appliancePath)
{
    std::string path = mifPath(appliancePath);
    struct stat st;
    if (stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
        // A device (or a FIFO standing in for one): written in place. Not
        // waiting in open keeps a FIFO without a reader from hanging the
        // session; the timed writes wait for room instead.
        target->device.fd = open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NONBLOCK);
        if (target->device.fd < 0)
            return -errno;
        target->open = true;
        return 0;
    }
    int result = atomicFileOpen(&target->file, replacedFilePath(path).c_str());
    if (result != 0)
        return result;
    target->atomic = true;
    target->inPlace = !onlyTheDaemonWrites(appliancePath);
    target->open = true;
    return 0;
}

int writeTarget(UploadTarget *target, const uint8_t *data, size_t length)
{
    if (length == 0)
        return 0;
    if (target->atomic)
        return atomicFileWrite(&target->file, data, length);
    errno = 0;
    if (socket_write(target->device.fd, data, length) == ssize_t(length))
        return 0;
    return -errnoOr(EIO);
}

// Ends the upload: with `keep`, the new content replaces the file's (in
// place, or by the rename); without, the file stays as it was. A device
// needs neither. 0, or a negative errno when the content could not be put
// in place.
int finishTarget(UploadTarget *target, bool keep)
{
    if (!target->atomic)
        return 0;
    target->atomic = false;
    if (!keep) {
        atomicFileAbort(&target->file);
        return 0;
    }
    return target->inPlace ? atomicFileCommitInPlace(&target->file) : atomicFileCommit(&target->file);
}

// The index prefix at the start of an upload: 1 with the prefix length and
// its number, 0 when the block has no colon, -1 when the text before the
// first colon is not a number from 0 to 999.
int indexPrefix(uint8_t *block, size_t length, uint32_t *prefixLength, uint32_t *number)
{
    uint8_t *colon = static_cast<uint8_t *>(memchr(block, ':', length));
    if (!colon)
        return 0;
    *colon = 0;
    const char *begin = reinterpret_cast<const char *>(block);
    char *end = nullptr;
    errno = 0;
    unsigned long value = strtoul(begin, &end, 0);
    bool ok = end != begin && end == reinterpret_cast<char *>(colon) && errno != ERANGE && value <= 999;
    *colon = ':';
    if (!ok)
        return -1;
    *prefixLength = uint32_t(colon - block) + 1;
    *number = uint32_t(value);
    return 1;
}

// ---------------------------------------------------------------- handlers

bool takesIndexPrefix(int32_t index)
{
    return index == SVC_SET_BB || index == SVC_SET_EVENTS || index == SVC_SET_ERRORS ||
           index == SVC_SET_REPAEVENTS;
}

void copyFileWithShell(const char *from, const char *to)
{
    std::string line = "cp -af " + shellWord(mifPath(from)) + " " + shellWord(mifPath(to));
    runShellCommand(line.c_str());
}

// Takes the upload into the named file and finishes it as every upload is
// finished: the working copies of the event list and the matrix, then sync.
Command *receiveUpload(Command *request, int socket, const char *fileName)
{
    LOGGER_LogMessage(5, 0, "%s,%i: Receiving file %s\n", "cmdHandler_RecvFileCmd", __LINE__,
                      fileName ? fileName : "");
    uint32_t received = 0;
    if (fileName && *fileName) {
        uint32_t prefix = 0;
        received = receiveFile(socket, fileName, request->length, takesIndexPrefix(request->index) ? &prefix : nullptr);
    } else {
        receiveFile(socket, "/dev/null", request->length, nullptr);
    }
    if (received < request->length)
        return createStringCommand(request->index, request->tag, "NAK: Error receiving data!");

    if (request->index == SVC_SET_MATRIX)
        copyFileWithShell(MIF_TECH_BOX "Matrix.log", MIF_TECH_BOX "Matrix_temp.log");
    else if (request->index == SVC_SET_EVENTLIST)
        copyFileWithShell(MIF_TECH_BOX "EventList.log", MIF_TECH_BOX "EventList_temp.log");
    runShellCommand("sync");
    return createAckCommand(request->index, request->tag);
}

} // namespace

bool cmdSendsFile(const Command *answer)
{
    if (getCmdTransferType(answer->index) < TRANSFER_FROM_APPLIANCE)
        return false;
    const char *text = commandText(answer);
    return text && strncmp(text, "NAK:", 4) != 0;
}

bool fileAnswerIsBounded(int32_t index, int32_t clientLevel)
{
    return (index == SVC_GET_BB || index == SVC_GET_EVENTS) && clientLevel <= AUTH_SERVICE;
}

uint64_t fileAnswerLowerBound(uint64_t machineTimeMs)
{
    return machineTimeMs > uint64_t(LOG_BOUND_WINDOW_MS) ? machineTimeMs - LOG_BOUND_WINDOW_MS : 0;
}

int sendFileCommand(int socket, Command *answer, uint64_t lowerBound)
{
    if (!answer)
        return -EINVAL;
    AnswerOwner owner{answer};
    LOGGER_LogMessage(6, 0, "%s,%i: Function entered, socket %i\n", "sendFileCommand", __LINE__, socket);

    const char *name = commandText(answer);
    Descriptor file;
    struct stat st;
    errno = 0;
    // Opened without waiting: a FIFO or a device at a log's path would
    // otherwise hold the session (and every later client) in open(). What
    // is not a regular file is refused before anything is read.
    bool readable = name && *name &&
                    (file.fd = open(mifPath(name).c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK)) >= 0 &&
                    fstat(file.fd, &st) == 0;
    // Only a regular file has a size to announce, and a frame carries at
    // most 4 GiB - 1.
    if (readable && (!S_ISREG(st.st_mode) || uint64_t(st.st_size) > UINT32_MAX)) {
        readable = false;
        errno = S_ISREG(st.st_mode) ? EFBIG : EINVAL;
    }
    if (!readable) {
        int error = errnoOr(ENOENT);
        int result = sendNak(socket, answer, "NAK: No data to send");
        LOGGER_LogMessage(3, 0, "%s,%i: %s\n", "sendFileCommand", __LINE__, strerror(error));
        return result;
    }
    const uint64_t size = uint64_t(st.st_size);

    uint8_t block[FILE_BLOCK_SIZE + 1];   // room to end a line time with a NUL
    uint8_t header[FRAME_HEADER_SIZE];
    uint64_t sent = 0;
    uint64_t length = size;
    uint64_t readOffset = 0;
    int failure = 0;
    bool invalidTime = false;

    if (lowerBound != 0 && size > 0) {
        LogScan scan;
        scan.block = block;
        switch (scanForBound(file.fd, size, lowerBound, &scan)) {
        case SCAN_FOUND: {
            length = size - scan.lineOffset;
            readOffset = scan.readOffset;
            encodeFrameHeader(header, answer->index, answer->tag, uint32_t(length));
            failure = sendAll(socket, header, sizeof header, MSG_MORE);
            uint32_t first = smaller(scan.blockLength - scan.lineStart, length);
            if (!failure)
                failure = sendAll(socket, block + scan.lineStart, first, 0);
            if (!failure)
                sent = first;
            break;
        }
        case SCAN_NOTHING: length = 0; break;
        case SCAN_INVALID:
            invalidTime = true;
            length = 0;
            break;
        case SCAN_FAILED: failure = scan.failure; break;
        }
    }

    // The whole file, or the rest of it after the first line sent.
    while (!failure && sent < length) {
        if (transferStopRequested()) {
            // The frame cannot be completed: the session ends.
            LOGGER_LogMessage(4, 0, "%s,%i: Stopped after %llu of %llu bytes\n", "sendFileCommand", __LINE__,
                              (unsigned long long)sent, (unsigned long long)length);
            failure = -ECANCELED;
            break;
        }
        size_t want = smaller(FILE_BLOCK_SIZE, length - sent);
        ssize_t got = readBlock(file.fd, block, want);
        if (got < 0) {
            LOGGER_LogMessage(3, 0, "%s,%i: %s\n", "sendFileCommand", __LINE__, strerror(errno));
            failure = -errnoOr(EIO);
            break;
        }
        if (size_t(got) < want) {
            // Shrunk since its size was announced: the frame cannot be
            // completed, so the session has to end.
            LOGGER_LogMessage(3, 0, "%s,%i: %s ended after %llu of %llu bytes\n", "sendFileCommand", __LINE__,
                              name, (unsigned long long)(readOffset + uint64_t(got)),
                              (unsigned long long)size);
            failure = -EIO;
            break;
        }
        if (sent == 0 && readOffset == 0) {
            encodeFrameHeader(header, answer->index, answer->tag, uint32_t(length));
            failure = sendAll(socket, header, sizeof header, MSG_MORE);
            if (failure)
                break;
        }
        failure = sendAll(socket, block, size_t(got), 0);
        if (!failure) {
            sent += uint64_t(got);
            readOffset += uint64_t(got);
        }
    }

    if (!failure && invalidTime) {
        int result = sendNak(socket, answer, MIF_NAK_INVALID_OFFSET);
        if (result < 0)
            failure = result;
    }
    if (!failure && sent == 0) {
        int result = sendNak(socket, answer, "NAK: No data to send");
        if (result < 0)
            failure = result;
    }
    LOGGER_LogMessage(6, 0, "%s,%i: Function left, socket %i\n", "sendFileCommand", __LINE__, socket);
    if (failure)
        return failure;
    // The count is only a success report: never let a large file turn it
    // negative.
    uint64_t total = sent + FRAME_HEADER_SIZE;
    return total > uint64_t(INT_MAX) ? INT_MAX : int(total);
}

uint32_t receiveFile(int socket, const char *fileName, uint32_t count, uint32_t *ppfx_len)
{
    if (ppfx_len)
        *ppfx_len = 0;
    uint8_t block[FILE_BLOCK_SIZE];
    UploadTarget target;
    uint32_t taken = 0;
    bool failed = false;         // the file cannot take the data: only drain
    bool socketFailed = false;

    while (taken < count) {
        if (transferStopRequested()) {
            // Displaced or shutting down: cut off like a dropped connection.
            LOGGER_LogMessage(4, 0, "%s,%i: Stopped after %u of %u bytes\n", "receiveFile", __LINE__,
                              unsigned(taken), unsigned(count));
            socketFailed = true;
            break;
        }
        uint32_t want = smaller(FILE_BLOCK_SIZE, count - taken);
        errno = 0;
        ssize_t got = socket_recv(socket, block, want, 0);
        if (got != ssize_t(want)) {
            if (got > 0)
                taken += uint32_t(got);
            LOGGER_LogMessage(3, 0, "%s,%i: %s\n", "receiveFile", __LINE__,
                              got == 0 ? "Connection closed by peer" : strerror(errno));
            socketFailed = true;
            break;
        }
        const bool first = taken == 0;
        taken += want;
        if (failed)
            continue;

        uint32_t skip = 0;
        if (first) {
            std::string name = fileName ? fileName : "";
            if (ppfx_len) {
                uint32_t number = 0;
                int prefix = indexPrefix(block, want, &skip, &number);
                if (prefix < 0) {
                    failed = true;
                    continue;
                }
                if (prefix > 0) {
                    *ppfx_len = skip;
                    // Appended piece by piece: GCC 12 at -O3 takes the
                    // prefix insert of `"." + std::string` for an
                    // overlapping copy (-Wrestrict), which it is not.
                    if (number > 0) {
                        name += '.';
                        name += std::to_string(number);
                    }
                }
            }
            int result = openTarget(&target, name);
            if (result != 0) {
                LOGGER_LogMessage(3, 0, "%s,%i: %s\n", "openFile", __LINE__, strerror(-result));
                failed = true;
                continue;
            }
        }
        int result = writeTarget(&target, block + skip, want - skip);
        if (result != 0) {
            LOGGER_LogMessage(3, 0, "%s,%i: %s\n", "receiveFile", __LINE__, strerror(-result));
            failed = true;
        }
    }

    if (int result = finishTarget(&target, !failed && !socketFailed); result != 0) {
        LOGGER_LogMessage(3, 0, "%s,%i: %s\n", "receiveFile", __LINE__, strerror(-result));
        failed = true;
    }
    return failed ? 0 : taken;
}

Command *cmdHandler_SendFileCmd(Command *request, int socket)
{
    (void)socket;
    const char *name = getCmdFilename(request);
    if (!name || !*name)
        return createStringCommand(request->index, request->tag, "NAK: No data to send");
    return createStringCommand(request->index, request->tag, "%s", name);
}

static void recoverFilesOf(const std::string &path)
{
    int result = atomicFileRecover(path.c_str());
    if (result > 0)
        MIF_LOG(4, "Recovered %d unfinished write(s) of %s\n", result, path.c_str());
    else if (result < 0 && result != -ENOENT)
        MIF_LOG(3, "%s: %s\n", path.c_str(), strerror(-result));
}

void removeUnfinishedUploads()
{
    for (int32_t index = 0; index < COMMAND_COUNT; index++) {
        if (getCmdTransferType(index) != TRANSFER_TO_APPLIANCE)
            continue;
        Command row{index, 0, 0, nullptr};
        const char *name = getCmdFilename(&row);
        if (!name || !*name)
            continue;
        std::string path = mifPath(name);
        struct stat st;
        if (stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode))
            continue;   // a device is written in place; nothing is left beside it
        recoverFilesOf(replacedFilePath(path));
        if (index == MCH_INSTALL_DATA)
            recoverFilesOf(replacedFilePath(mifPath(std::string(name) + INSTALL_SIGNATURE_SUFFIX)));
    }
    // The files the daemon itself replaces whole.
    for (const char *name : {SCALE_CALDATA_FILE, SERIAL_FILE})
        recoverFilesOf(replacedFilePath(mifPath(name)));
}

Command *cmdHandler_RecvFileCmd(Command *request, int socket)
{
    return receiveUpload(request, socket, getCmdFilename(request));
}

Command *cmdHandler_MCHDisplayImg(Command *request, int socket)
{
    if (request->length == FRAMEBUFFER_IMAGE_SIZE)
        return receiveUpload(request, socket, getCmdFilename(request));
    receiveFile(socket, "/dev/null", request->length, nullptr);
    return createStringCommand(request->index, request->tag, "NAK: Wrong image size!");
}

Command *cmdHandler_MCHPlaySnd(Command *request, int socket)
{
    AudioDeviceGuard audio;
    const char *refusal = nullptr;
    int result = audioOpen(&audio.device, getCmdFilename(request));
    if (result != 0) {
        MIF_LOG(3, "%s\n", strerror(-result));
        refusal = "NAK: Unable to open audio device";
    } else {
        const AudioSetting settings[3] = {AUDIO_SPEED, AUDIO_CHANNELS, AUDIO_FORMAT};
        const int values[3] = {AUDIO_RATE_HZ, AUDIO_MONO, AUDIO_FORMAT_S16_LE};
        for (int i = 0; i < 3 && !refusal; i++) {
            result = audioConfigure(&audio.device, settings[i], values[i]);
            if (result != 0) {
                MIF_LOG(3, "%s\n", strerror(-result));
                refusal = "NAK: Unable to configure audio device";
            }
        }
    }

    // Every announced byte is taken, played or not, so the next frame is
    // read where the client expects it.
    uint8_t block[FILE_BLOCK_SIZE];
    uint32_t taken = 0;
    bool playbackError = false;
    while (taken < request->length) {
        if (transferStopRequested()) {
            MIF_LOG(4, "Stopped after %u of %u bytes\n", unsigned(taken), unsigned(request->length));
            playbackError = true;
            break;
        }
        uint32_t want = smaller(FILE_BLOCK_SIZE, request->length - taken);
        errno = 0;
        ssize_t got = socket_recv(socket, block, want, 0);
        if (got != ssize_t(want)) {
            MIF_LOG(3, "%s\n", got == 0 ? "Connection closed by peer" : strerror(errno));
            playbackError = true;
            break;
        }
        taken += want;
        if (refusal || playbackError)
            continue;
        errno = 0;
        ssize_t written = socket_write(audio.device.fd, block, want);
        if (written != ssize_t(want)) {
            MIF_LOG(3, "Only wrote %i of %i bytes (error %s)!\n", int(written), int(want), strerror(errno));
            playbackError = true;
        }
    }
    audioClose(&audio.device);

    if (refusal)
        return createStringCommand(request->index, request->tag, "%s", refusal);
    if (playbackError)
        return createStringCommand(request->index, request->tag, "NAK: Error during playback");
    return createAckCommand(request->index, request->tag);
}
