// Uploads, downloads and the progress bar.
#include "transfer.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/clock.h"
#include "session/command_list.h"

enum { TRANSFER_CHUNK = 64 * 1024, NAK_PEEK_SIZE = 4096, PROGRESS_REDRAW_MS = 100, DISPLACED_CLOSE_WAIT_MS = 500 };

// ----------------------------------------------------------------- pieces

UploadPiece memoryPiece(std::vector<uint8_t> bytes)
{
    UploadPiece piece;
    piece.size = bytes.size();
    piece.bytes = std::move(bytes);
    return piece;
}

UploadPiece memoryPiece(const std::string &text)
{
    return memoryPiece(std::vector<uint8_t>(text.begin(), text.end()));
}

bool filePiece(const std::string &path, UploadPiece *piece, std::string *error)
{
    struct stat st{};
    if (stat(path.c_str(), &st) != 0) {
        *error = "cannot read " + path + ": " + strerror(errno);
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        *error = path + " is not a regular file";
        return false;
    }
    if (access(path.c_str(), R_OK) != 0) {
        *error = "cannot read " + path + ": " + strerror(errno);
        return false;
    }
    *piece = UploadPiece{};
    piece->path = path;
    piece->size = uint64_t(st.st_size);
    return true;
}

// --------------------------------------------------------------- progress

bool progressWanted(bool quiet)
{
    return !quiet && isatty(STDERR_FILENO);
}

static std::string humanBytes(double bytes)
{
    static const char *const kUnits[] = {"B", "KiB", "MiB", "GiB"};
    int unit = 0;
    while (bytes >= 1024 && unit < 3) {
        bytes /= 1024;
        unit++;
    }
    char text[32];
    snprintf(text, sizeof text, unit ? "%.1f %s" : "%.0f %s", bytes, kUnits[unit]);
    return text;
}

std::string progressLine(const std::string &label, uint64_t done, uint64_t total, int64_t elapsedMs)
{
    const int percent = total ? int(done * 100 / total) : 100;
    std::string line = label + "  " + humanBytes(double(done)) + " / " + humanBytes(double(total)) + "  " +
                       std::to_string(percent) + "%";
    if (elapsedMs > 0 && done > 0) {
        const double rate = double(done) * 1000.0 / double(elapsedMs);
        line += "  " + humanBytes(rate) + "/s";
        const uint64_t left = uint64_t(double(total - done) / rate + 0.5);
        char eta[32];
        snprintf(eta, sizeof eta, "  %llu:%02llu left", (unsigned long long)(left / 60),
                 (unsigned long long)(left % 60));
        line += eta;
    }
    return line;
}

// Redraws one line on standard error, at most ten times a second.
struct ProgressBar {
    bool enabled;
    std::string label;
    uint64_t total;
    const std::function<void(uint64_t, uint64_t)> *onProgress = nullptr;
    int64_t start = monotonicMs();
    int64_t lastDraw = -PROGRESS_REDRAW_MS;
    bool drawn = false;

    void update(uint64_t done, bool force = false)
    {
        if (onProgress && *onProgress)
            (*onProgress)(done, total);
        if (!enabled)
            return;
        int64_t now = monotonicMs();
        if (!force && now - lastDraw < PROGRESS_REDRAW_MS)
            return;
        lastDraw = now;
        drawn = true;
        fprintf(stderr, "\r%s\033[K", progressLine(label, done, total, now - start).c_str());
        fflush(stderr);
    }
    void finish(uint64_t done)
    {
        if (!enabled)
            return;
        update(done, true);
        fputc('\n', stderr);
    }
    // Leaves the line so that a message printed next starts on its own.
    void abandon()
    {
        if (enabled && drawn)
            fputc('\n', stderr);
    }
};

// ----------------------------------------------------------------- upload

static bool sendPiece(Session &session, const UploadPiece &piece, ProgressBar &bar, uint64_t *done,
                      std::string *error)
{
    if (piece.path.empty()) {
        for (uint64_t at = 0; at < piece.size; at += TRANSFER_CHUNK) {
            size_t n = size_t(std::min<uint64_t>(TRANSFER_CHUNK, piece.size - at));
            if (!sendBytes(session, piece.bytes.data() + at, n, error))
                return false;
            *done += n;
            bar.update(*done);
        }
        return true;
    }
    UniqueFd fd(open(piece.path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) {
        *error = "cannot read " + piece.path + ": " + strerror(errno);
        return false;
    }
    std::vector<uint8_t> buffer(TRANSFER_CHUNK);
    for (uint64_t at = 0; at < piece.size;) {
        size_t want = size_t(std::min<uint64_t>(TRANSFER_CHUNK, piece.size - at));
        ssize_t got = pread(fd.get(), buffer.data(), want, off_t(piece.offset + at));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            // The announced length can no longer be met: the session is lost.
            *error = "reading " + piece.path + " failed" + (got < 0 ? std::string(": ") + strerror(errno)
                                                                     : std::string(": it shrank while it was sent"));
            return false;
        }
        if (!sendBytes(session, buffer.data(), size_t(got), error))
            return false;
        at += uint64_t(got);
        *done += uint64_t(got);
        bar.update(*done);
    }
    return true;
}

int uploadFile(Session &session, int32_t index, const std::vector<UploadPiece> &pieces,
               const TransferOptions &options, std::string *error)
{
    uint64_t total = 0;
    for (const UploadPiece &piece : pieces)
        total += piece.size;
    if (total > UINT32_MAX) {
        *error = options.label + " is too large to send (" + std::to_string(total) + " bytes)";
        return EXIT_USAGE;
    }

    ProgressBar bar{options.progress, options.label, total, &options.onProgress};
    const int32_t tag = takeTag(session);
    if (!sendHeader(session, index, tag, uint32_t(total), error))
        return EXIT_CONNECTION;
    uint64_t done = 0;
    for (const UploadPiece &piece : pieces) {
        if (!sendPiece(session, piece, bar, &done, error)) {
            bar.abandon();
            return EXIT_CONNECTION;
        }
    }
    bar.finish(done);

    Answer answer;
    const int saved = session.timeoutMs;
    if (options.answerTimeoutMs > 0)
        session.timeoutMs = options.answerTimeoutMs;
    bool ok = receiveAnswer(session, index, tag, &answer, error);
    session.timeoutMs = saved;
    if (!ok)
        return EXIT_CONNECTION;
    // A newer client displacing us mid-upload makes the daemon stop taking
    // the bytes, refuse the upload and close the connection right after:
    // that NAK reports a lost session, not a refused file.
    if (answerIsNak(answer) && sessionClosedByPeer(session, DISPLACED_CLOSE_WAIT_MS)) {
        *error = "the upload was cut off (the daemon answered \"" + answerText(answer) +
                 "\" and closed the connection: a newer client displaced us, or the daemon stopped)";
        return EXIT_CONNECTION;
    }
    if (options.answer) {
        *options.answer = answer;
        return answerIsNak(answer) ? EXIT_ANSWER_NAK : EXIT_ANSWER_OK;
    }
    return printAnswer(session, index, answer);
}

// --------------------------------------------------------------- download

bool looksLikeNak(const uint8_t *data, size_t length, uint32_t total)
{
    // A NAK answer is a short text with its NUL; a log never ends in NUL.
    return total <= 1024 && length == total && length >= 5 && memcmp(data, "NAK: ", 5) == 0 && data[length - 1] == 0;
}

static bool writeAll(int fd, const uint8_t *data, size_t length)
{
    while (length > 0) {
        ssize_t n = write(fd, data, length);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        length -= size_t(n);
    }
    return true;
}

// The file being written: a temporary file beside the target, renamed when
// complete, or standard output.
struct DownloadTarget {
    std::string path;       // the real name, "" for standard output
    std::string temporary;
    UniqueFd fd;
    bool committed = false;

    ~DownloadTarget()
    {
        if (!temporary.empty() && !committed) {
            fd.reset();
            unlink(temporary.c_str());
        }
    }
    int out() const { return path.empty() ? STDOUT_FILENO : fd.get(); }
};

static bool openTarget(const std::string &output, DownloadTarget *target, std::string *error)
{
    if (output == "-")
        return true;
    target->path = output;
    target->temporary = output + ".partXXXXXX";
    int fd = mkostemp(target->temporary.data(), O_CLOEXEC);
    if (fd < 0) {
        *error = "cannot write " + output + ": " + strerror(errno);
        target->temporary.clear();
        return false;
    }
    target->fd.reset(fd);
    // mkstemp creates the file private; a downloaded log is an ordinary file.
    mode_t mask = umask(0);
    umask(mask);
    fchmod(fd, 0666 & ~mask);
    return true;
}

static bool commitTarget(DownloadTarget *target, std::string *error)
{
    if (target->path.empty())
        return true;
    int fd = target->fd.release();
    if (close(fd) != 0 || rename(target->temporary.c_str(), target->path.c_str()) != 0) {
        *error = "cannot write " + target->path + ": " + strerror(errno);
        return false;
    }
    target->committed = true;
    return true;
}

// Prints a NAK answer of a file command; the invalid-offset-time NAK is
// always followed by a second answer, which is read and printed too.
static int reportFileNak(Session &session, int32_t index, int32_t tag, const uint8_t *data, size_t length,
                         Answer *keep, std::string *error)
{
    Answer answer;
    answer.index = index;
    answer.tag = tag;
    answer.payload.assign(data, data + length);
    int code = keep ? EXIT_ANSWER_NAK : printAnswer(session, index, answer);
    if (answerText(answer) == MIF_NAK_INVALID_OFFSET) {
        Answer second;
        if (!receiveAnswer(session, index, tag, &second, error))
            return EXIT_CONNECTION;
        if (keep)
            answer = second;
        else
            printAnswer(session, index, second);
    }
    if (keep)
        *keep = answer;
    return code;
}

int downloadFile(Session &session, int32_t index, const std::string &suffix, const std::string &output,
                 const TransferOptions &options, std::string *error)
{
    const int32_t tag = takeTag(session);
    // The suffix goes without its NUL: the daemon takes at most three bytes,
    // so with a NUL a copy number of three digits (up to 999, as set-log
    // writes them) could never be fetched.
    const uint32_t requestLength = uint32_t(suffix.size());
    if (!sendHeader(session, index, tag, requestLength, error) ||
        !sendBytes(session, suffix.c_str(), requestLength, error))
        return EXIT_CONNECTION;

    int32_t answerIndex = 0, answerTag = 0;
    uint32_t length = 0;
    if (!receiveHeader(session, session.timeoutMs, &answerIndex, &answerTag, &length, error) ||
        !checkAnswerHeader(index, tag, answerIndex, answerTag, error))
        return EXIT_CONNECTION;

    std::vector<uint8_t> buffer(TRANSFER_CHUNK);
    size_t first = std::min<size_t>(length, NAK_PEEK_SIZE);
    if (!receiveExact(session, buffer.data(), first, error))
        return EXIT_CONNECTION;
    if (answerIndex != index || looksLikeNak(buffer.data(), first, length))
        return reportFileNak(session, index, tag, buffer.data(), first, options.answer, error);

    DownloadTarget target;
    if (!openTarget(output, &target, error)) {
        // Keep the stream in step for a shell session: take the rest and drop it.
        for (uint64_t left = length - first; left > 0;) {
            std::string ignored;
            long got = receiveSome(session, buffer.data(), size_t(std::min<uint64_t>(left, buffer.size())), &ignored);
            if (got < 0)
                break;
            left -= uint64_t(got);
        }
        return EXIT_USAGE;
    }
    ProgressBar bar{options.progress, options.label, length, &options.onProgress};
    uint64_t done = first;
    bool written = writeAll(target.out(), buffer.data(), first);
    bar.update(done);
    // The buffer is filled before it is written: the daemon sends 1 KiB at a
    // time, and a write per arrival would cost as much as the receive.
    while (done < length) {
        size_t filled = 0;
        const size_t want = size_t(std::min<uint64_t>(length - done, buffer.size()));
        while (filled < want) {
            long got = receiveSome(session, buffer.data() + filled, want - filled, error);
            if (got < 0) {
                bar.abandon();
                return EXIT_CONNECTION;
            }
            filled += size_t(got);
            bar.update(done + filled);
        }
        written = written && writeAll(target.out(), buffer.data(), filled);
        done += filled;
    }
    bar.finish(done);
    if (!written) {
        *error = "cannot write " + (target.path.empty() ? std::string("to standard output") : target.path) + ": " +
                 strerror(errno);
        return EXIT_USAGE;
    }
    if (!commitTarget(&target, error))
        return EXIT_USAGE;
    if (options.received)
        *options.received = done;
    return EXIT_ANSWER_OK;
}
