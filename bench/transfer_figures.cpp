// File transfers through the daemon against raw loopback copies of the
// same bytes in the same 1 KiB blocks.
#include <algorithm>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

#include "figures.h"
#include "processes.h"
#include "raw_peers.h"
#include "session_client.h"
#include "session/wire.h"
#include "support/daemon_harness.h"

namespace {

enum : uint32_t { SVC_GET_BB_INDEX = 2, SVC_SET_BB_INDEX = 10, LOG_SIZE = 64u << 20 };
constexpr int RUNS = 3;

const char *kServiceLog = "/mnt/rwfs/data/tech_box/OperationalData.log";

// A service log of 64 MiB: lines "time;fields" as the appliance writes
// them. No colon anywhere, so an upload of it names no rotated copy.
std::vector<uint8_t> makeServiceLog()
{
    std::vector<uint8_t> log;
    log.reserve(LOG_SIZE);
    char line[96];
    for (unsigned long long t = 1700000000000ULL; log.size() < LOG_SIZE; t += 250) {
        int n = snprintf(line, sizeof line, "0x%016llX;BB;speed=%llu,temp=%llu,load=%llu\n", t, t % 1100,
                         t % 130, t % 97);
        log.insert(log.end(), line, line + std::min<size_t>(size_t(n), LOG_SIZE - log.size()));
    }
    return log;
}

bool writeFile(const std::string &path, const std::vector<uint8_t> &bytes)
{
    FILE *f = fopen(path.c_str(), "wb");
    bool ok = f && fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    if (f)
        ok = fclose(f) == 0 && ok;
    return ok;
}

double rate(double bytes, int64_t ns) { return ns > 0 ? bytes * 1e9 / double(ns) : 0; }

// SVC_GET_BB on an authenticated level-5 session, which is sent the whole
// log (no time bound), timed from the request to the last byte. The bytes
// are dropped as they arrive unless `received` takes them. The rate; 0 with
// `refusal` set when the daemon answered with a text instead of the file;
// -1 when the session broke or the answer was not this request's.
double downloadRate(int fd, int tag, std::vector<uint8_t> *received, std::string *refusal)
{
    int64_t start = nowNs();
    int32_t index = 0, answerTag = 0;
    uint32_t length = 0;
    if (!sendFrame(fd, int32_t(SVC_GET_BB_INDEX), tag, nullptr, 0) ||
        !readFrameHeader(fd, &index, &answerTag, &length) || index != int32_t(SVC_GET_BB_INDEX) ||
        answerTag != tag)
        return -1;
    if (length != LOG_SIZE) {
        std::vector<char> text(std::min<uint32_t>(length, 256) + 1, 0);
        if (!receiveAll(fd, text.data(), text.size() - 1) || !drain(fd, length - (text.size() - 1)))
            return -1;
        *refusal = text.data();
        return 0;
    }
    if (received) {
        received->resize(length);
        if (!receiveAll(fd, received->data(), length))
            return -1;
    } else if (!drain(fd, length)) {
        return -1;
    }
    return rate(LOG_SIZE, nowNs() - start);
}

double rawDownloadRate(const std::string &path)
{
    RawFileSender sender;
    if (!startRawFileSender(&sender, path))
        return -1;
    int64_t start = nowNs();
    int fd = connectLoopback(sender.port);
    bool ok = fd >= 0 && drain(fd, LOG_SIZE);
    int64_t end = nowNs();
    if (fd >= 0)
        close(fd);
    stopRawFileSender(&sender);
    return ok ? rate(LOG_SIZE, end - start) : -1;
}

// SVC_SET_BB: header, the file in pieces, until "ACK" (written and synced).
double uploadRate(int fd, int tag, const std::vector<uint8_t> &log, size_t piece)
{
    int64_t start = nowNs();
    uint8_t header[12];
    encodeFrameHeader(header, int32_t(SVC_SET_BB_INDEX), tag, LOG_SIZE);
    AnswerFrame answer;
    if (!sendAll(fd, header, sizeof header) || !sendInPieces(fd, log.data(), log.size(), piece) ||
        !readFrame(fd, &answer))
        return -1;
    if (answer.text() != "ACK")
        return 0;
    return rate(LOG_SIZE, nowNs() - start);
}

double rawUploadRate(const std::string &path, const std::vector<uint8_t> &log)
{
    RawFileReceiver receiver;
    if (!startRawFileReceiver(&receiver, path, log.size()))
        return -1;
    int64_t start = nowNs();
    int fd = connectLoopback(receiver.port);
    char answer = 0;
    bool ok = fd >= 0 && sendInPieces(fd, log.data(), log.size(), RAW_BLOCK_SIZE) && receiveAll(fd, &answer, 1) &&
              answer == 'A';
    int64_t end = nowNs();
    if (fd >= 0)
        close(fd);
    stopRawFileReceiver(&receiver);
    return ok ? rate(LOG_SIZE, end - start) : -1;
}

}  // namespace

FigureRows transferFigures(const MicroResults &)
{
    const char *download = "download of a 64 MiB service log (SVC_GET_BB)";
    const char *upload = "upload of a 64 MiB service log (SVC_SET_BB)";
    const char *pieces = "upload in 700-byte pieces, no pause";
    TempRoot root;
    std::vector<uint8_t> log = makeServiceLog();
    std::string source = root.path() + "/source.log";
    std::string copy = root.path() + "/copy.log";
    if (!writeFile(source, log) || !writeFile(root.at(kServiceLog), log))
        return {missingRow("3", download, "cannot write the 64 MiB log")};
    BenchPeers peers;
    Daemon mifd;
    SigningKey key;
    int fd = -1;
    if (startBenchDaemon(&mifd, &peers, root) && loadRoleKey(&key, "testlab"))
        fd = connectLoopback(mifd.port());
    if (fd < 0 || !authenticateSession(fd, key)) {
        if (fd >= 0)
            close(fd);
        return {missingRow("3-5", download, "no authenticated session")};
    }

    FigureRows rows;
    // Once untimed, to see that what is timed is the log itself.
    std::vector<uint8_t> received;
    std::string refusal;
    double verified = downloadRate(fd, 1, &received, &refusal);
    if (verified <= 0 || received != log) {
        std::string why = verified < 0   ? "the download broke the session"
                          : verified == 0 ? "SVC_GET_BB answered \"" + refusal + "\""
                                          : "the download differs from the log";
        rows.push_back(missingRow("3", download, why));
    } else {
        std::vector<double> daemonDown, rawDown;
        for (int run = 0; run < RUNS; run++) {
            daemonDown.push_back(downloadRate(fd, 10 + run, nullptr, &refusal));
            rawDown.push_back(rawDownloadRate(source));
        }
        auto failed = [](double r) { return r <= 0; };
        if (std::any_of(daemonDown.begin(), daemonDown.end(), failed) ||
            std::any_of(rawDown.begin(), rawDown.end(), failed)) {
            rows.push_back(missingRow("3", download, "a timed download failed"));
        } else {
            FigureRow row =
                throughputRow("3", download, medianOf(daemonDown), medianOf(rawDown), "raw 1 KiB copy", 0.5);
            row.note = "a level-5 session: the whole log, no time bound";
            rows.push_back(row);
        }
    }
    received = {};

    std::vector<double> daemonUp, rawUp, daemonPieces;
    for (int run = 0; run < RUNS; run++) {
        daemonUp.push_back(uploadRate(fd, 100 + run, log, RAW_BLOCK_SIZE));
        rawUp.push_back(rawUploadRate(copy, log));
        daemonPieces.push_back(uploadRate(fd, 200 + run, log, 700));
    }
    close(fd);
    double up = medianOf(daemonUp);
    if (up <= 0) {
        rows.push_back(missingRow("4", upload, "the upload failed"));
        return rows;
    }
    rows.push_back(throughputRow("4", upload, up, medianOf(rawUp), "raw 1 KiB copy + fsync", 0.5));
    rows.push_back(throughputRow("5", pieces, medianOf(daemonPieces), up, "figure 4", 0));
    return rows;
}
