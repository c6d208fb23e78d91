// File transfers through the daemon against raw loopback copies of the
// same bytes in the same 1 KiB blocks: with mifctl as a technician runs it,
// with the benchmark's own client sending in pieces of given sizes, and
// through a paced relay that plays a 100 Mbit/s or 1 Gbit/s link.
#include <algorithm>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

#include "figures.h"
#include "mifctl_runs.h"
#include "pacing_relay.h"
#include "processes.h"
#include "raw_peers.h"
#include "session_client.h"
#include "session/wire.h"
#include "support/daemon_harness.h"

namespace {

enum : uint32_t { SVC_GET_BB_INDEX = 2, SVC_SET_BB_INDEX = 10, LOG_SIZE = 64u << 20 };
constexpr int RUNS = 3;
// Through the relay: 16 MiB at 100 Mbit/s (1.3 s), the whole log at 1 Gbit/s:
// long enough that the fsync and sync before an upload's ACK weigh little.
constexpr uint32_t SLOW_LOG_SIZE = 16u << 20;

const char *kServiceLog = "/mnt/rwfs/data/tech_box/OperationalData.log";
const char *kFramebuffer = "/dev/fb";

// A service log of 64 MiB: lines "time;fields" as the appliance writes
// them. No colon anywhere, so an upload of it names no rotated copy.
std::vector<uint8_t> makeServiceLog(uint32_t size = LOG_SIZE)
{
    std::vector<uint8_t> log;
    log.reserve(size);
    char line[96];
    for (unsigned long long t = 1700000000000ULL; log.size() < size; t += 250) {
        int n = snprintf(line, sizeof line, "0x%016llX;BB;speed=%llu,temp=%llu,load=%llu\n", t, t % 1100,
                         t % 130, t % 97);
        log.insert(log.end(), line, line + std::min<size_t>(size_t(n), size - log.size()));
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

double rawDownloadRate(const std::string &path, uint64_t size = LOG_SIZE)
{
    RawFileSender sender;
    if (!startRawFileSender(&sender, path))
        return -1;
    int64_t start = nowNs();
    int fd = connectLoopback(sender.port);
    bool ok = fd >= 0 && drain(fd, size);
    int64_t end = nowNs();
    if (fd >= 0)
        close(fd);
    stopRawFileSender(&sender);
    return ok ? rate(double(size), end - start) : -1;
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

double rawUploadRate(const std::string &path, const uint8_t *bytes, size_t size)
{
    RawFileReceiver receiver;
    if (!startRawFileReceiver(&receiver, path, size))
        return -1;
    int64_t start = nowNs();
    int fd = connectLoopback(receiver.port);
    char answer = 0;
    bool ok = fd >= 0 && sendInPieces(fd, bytes, size, RAW_BLOCK_SIZE) && receiveAll(fd, &answer, 1) &&
              answer == 'A';
    int64_t end = nowNs();
    if (fd >= 0)
        close(fd);
    stopRawFileReceiver(&receiver);
    return ok ? rate(double(size), end - start) : -1;
}

// A fresh authenticated session of the benchmark's own client (it displaces
// whichever session the daemon was serving), or -1.
int benchSession(int port, const SigningKey &key)
{
    int fd = connectLoopback(port);
    if (fd >= 0 && !authenticateSession(fd, key)) {
        close(fd);
        fd = -1;
    }
    return fd;
}

// One upload or download of the benchmark's client on a session of its own.
double clientUploadRate(int port, const SigningKey &key, int tag, const std::vector<uint8_t> &log, size_t piece)
{
    int fd = benchSession(port, key);
    if (fd < 0)
        return -1;
    double r = uploadRate(fd, tag, log, piece);
    close(fd);
    return r;
}

double clientDownloadRate(int port, const SigningKey &key, int tag)
{
    int fd = benchSession(port, key);
    if (fd < 0)
        return -1;
    std::string refusal;
    double r = downloadRate(fd, tag, nullptr, &refusal);
    close(fd);
    return r;
}

// One mifctl command moving `bytes`: its rate, or -1 when it failed.
double mifctlRate(int port, const std::vector<std::string> &args, double bytes)
{
    int64_t ns = 0;
    return runMifctl(port, args, &ns) == 0 ? rate(bytes, ns) : -1;
}

// One mifctl command through a fresh relay at `bitsPerSecond` to the daemon.
double relayedMifctlRate(int daemonPort, double bitsPerSecond, const std::vector<std::string> &args, double bytes)
{
    PacingRelay relay;
    if (!startPacingRelay(&relay, daemonPort, bitsPerSecond))
        return -1;
    return mifctlRate(relay.port, args, bytes);
}

bool anyFailed(const std::vector<double> &rates)
{
    return std::any_of(rates.begin(), rates.end(), [](double r) { return r <= 0; });
}

// A row of a throughput against its baseline, or why it is missing.
FigureRow measuredRow(const std::string &figure, const std::string &what, const std::vector<double> &value,
                      const std::vector<double> &baseline, const std::string &baselineName, double minRatio,
                      const std::string &note)
{
    if (anyFailed(value) || anyFailed(baseline))
        return missingRow(figure, what, "a timed transfer failed");
    FigureRow row = throughputRow(figure, what, medianOf(value), medianOf(baseline), baselineName, minRatio);
    row.note = note;
    return row;
}

// A package for MCH_INSTALL_DATA: a gzip'd tar of `size` bytes of log lines
// (they compress as real data does) with its version file, signed with the
// simulator's package key. False when tar or the signing failed.
bool makePackage(const TempRoot &root, const std::vector<uint8_t> &log, std::string *package, std::string *sig)
{
    std::string stage = root.path() + "/stage";
    *package = root.path() + "/datapackage.tar.gz";
    *sig = *package + ".sig";
    std::string folders = "mkdir -p " + stage + "/recipes && printf 2.7 > " + stage + "/datpak.ver";
    std::string make = "tar czf " + *package + " -C " + stage + " .";
    if (system(folders.c_str()) != 0 || !writeFile(stage + "/recipes/bulk.log", log) || system(make.c_str()) != 0)
        return false;
    std::string sign = binDir() + "/mif-sim sign-package " + *package + " >/dev/null";
    return system(sign.c_str()) == 0;
}

}  // namespace

FigureRows transferFigures(const MicroResults &)
{
    const char *download = "download of a 64 MiB service log with `mifctl get-log bb`";
    const char *clientDownload = "download of the same log, benchmark client (SVC_GET_BB)";
    const char *upload = "upload of a 64 MiB service log with `mifctl set-log bb`";
    const char *oneSend = "upload of the same log, whole file in one send (SVC_SET_BB)";
    const char *pieces = "upload of the same log in 1 KiB pieces (SVC_SET_BB)";
    const char *smallPieces = "upload in 700-byte pieces, no pause";
    TempRoot root;
    std::vector<uint8_t> log = makeServiceLog();
    std::string source = root.path() + "/source.log";
    std::string copy = root.path() + "/copy.log";
    std::string fetched = root.path() + "/fetched.log";
    if (!writeFile(source, log) || !writeFile(root.at(kServiceLog), log))
        return {missingRow("3", download, "cannot write the 64 MiB log")};
    BenchPeers peers;
    Daemon mifd;
    SigningKey key;
    int fd = -1;
    if (startBenchDaemon(&mifd, &peers, root) && loadRoleKey(&key, "testlab"))
        fd = benchSession(mifd.port(), key);
    if (fd < 0)
        return {missingRow("3-5", download, "no authenticated session")};
    const int port = mifd.port();

    FigureRows rows;
    // Once untimed, to see that what is timed is the log itself.
    std::vector<uint8_t> received;
    std::string refusal;
    double verified = downloadRate(fd, 1, &received, &refusal);
    close(fd);
    if (verified <= 0 || received != log) {
        std::string why = verified < 0   ? "the download broke the session"
                          : verified == 0 ? "SVC_GET_BB answered \"" + refusal + "\""
                                          : "the download differs from the log";
        rows.push_back(missingRow("3", download, why));
    } else {
        std::vector<double> mifctlDown, clientDown, rawDown;
        for (int run = 0; run < RUNS; run++) {
            mifctlDown.push_back(mifctlRate(port, {"get-log", "bb", "-o", fetched}, LOG_SIZE));
            clientDown.push_back(clientDownloadRate(port, key, 10 + run));
            rawDown.push_back(rawDownloadRate(source));
        }
        unlink(fetched.c_str());
        const char *level5 = "a level-5 session: the whole log, no time bound";
        rows.push_back(measuredRow("3", download, mifctlDown, rawDown, "raw 1 KiB copy", 0.5,
                                   std::string(level5) + "; mifctl writes it to a file"));
        rows.push_back(measuredRow("3", clientDownload, clientDown, rawDown, "raw 1 KiB copy", 0.5, level5));
    }
    received = {};

    std::vector<double> mifctlUp, rawUp, oneSendUp, piecesUp, smallPiecesUp;
    for (int run = 0; run < RUNS; run++) {
        mifctlUp.push_back(mifctlRate(port, {"set-log", "bb", source}, LOG_SIZE));
        rawUp.push_back(rawUploadRate(copy, log.data(), log.size()));
        oneSendUp.push_back(clientUploadRate(port, key, 100 + run, log, log.size()));
        piecesUp.push_back(clientUploadRate(port, key, 200 + run, log, RAW_BLOCK_SIZE));
        smallPiecesUp.push_back(clientUploadRate(port, key, 300 + run, log, 700));
    }
    const char *synced = "written and synced before the ACK";
    rows.push_back(measuredRow("4", upload, mifctlUp, rawUp, "raw 1 KiB copy + fsync", 0.5,
                               std::string(synced) + "; mifctl sends 64 KiB at a time"));
    rows.push_back(measuredRow("4", oneSend, oneSendUp, rawUp, "raw 1 KiB copy + fsync", 0.5, synced));
    rows.push_back(measuredRow("4", pieces, piecesUp, rawUp, "raw 1 KiB copy + fsync", 0.5, synced));
    if (!anyFailed(smallPiecesUp) && !anyFailed(piecesUp))
        rows.push_back(throughputRow("5", smallPieces, medianOf(smallPiecesUp), medianOf(piecesUp),
                                     "1 KiB pieces", 0));
    else
        rows.push_back(missingRow("5", smallPieces, "a timed transfer failed"));
    return rows;
}

FigureRows otherFileFigures(const MicroResults &)
{
    const char *picture = "`mifctl display-img` of a raw 480x272 frame (510 KiB)";
    std::string package = "`mifctl install-data` of a data package";
    TempRoot root;
    std::vector<uint8_t> frame(522240);
    for (size_t i = 0; i < frame.size(); i++)
        frame[i] = i % 4 == 3 ? 0xFF : uint8_t(i * 13);
    std::string framePath = root.path() + "/picture.raw";
    std::string packagePath, signaturePath;
    std::vector<uint8_t> packageBytes;
    bool havePackage = makePackage(root, makeServiceLog(16u << 20), &packagePath, &signaturePath);
    if (havePackage) {
        FILE *f = fopen(packagePath.c_str(), "rb");
        havePackage = f != nullptr;
        for (int c; f && (c = fgetc(f)) != EOF;)
            packageBytes.push_back(uint8_t(c));
        if (f)
            fclose(f);
        package = "`mifctl install-data` of a " + std::to_string((packageBytes.size() + 512) >> 10) +
                  " KiB data package";
    }
    if (!writeFile(framePath, frame))
        return {missingRow("12", picture, "cannot write the picture")};
    // The package checker is found on the daemon's PATH, as on the appliance.
    const char *path = getenv("PATH");
    BenchPeers peers;
    Daemon mifd;
    root.write("/mnt/rwfs/data/mif_sleep.txt", "0");
    // The framebuffer device is a plain file under the root.
    root.write(kFramebuffer, "");
    if (!startBenchPeers(&peers, root) ||
        !mifd.start(root, {"-nowait"}, {{"PATH", binDir() + ":" + (path ? path : "/usr/bin:/bin")}}))
        return {missingRow("12", picture, "the daemon did not start")};
    const int port = mifd.port();

    std::vector<double> shown, rawFrame, installed, rawPackage;
    std::string copy = root.path() + "/copy";
    for (int run = 0; run < RUNS; run++) {
        shown.push_back(mifctlRate(port, {"display-img", framePath}, double(frame.size())));
        rawFrame.push_back(rawUploadRate(copy, frame.data(), frame.size()));
        if (havePackage) {
            installed.push_back(mifctlRate(port, {"install-data", packagePath, "--sig", signaturePath},
                                           double(packageBytes.size())));
            rawPackage.push_back(rawUploadRate(copy, packageBytes.data(), packageBytes.size()));
        }
    }
    FigureRows rows;
    rows.push_back(measuredRow("12", picture, shown, rawFrame, "raw 1 KiB copy + fsync", 0,
                               "whole command: connecting and authenticating included"));
    if (havePackage)
        rows.push_back(measuredRow("12", package, installed, rawPackage, "raw 1 KiB copy + fsync", 0,
                                   "whole command: checked, unpacked and synced before the ACK"));
    else
        rows.push_back(missingRow("12", package, "cannot make or sign the package"));
    return rows;
}

FigureRows relayFigures(const MicroResults &)
{
    TempRoot root;
    BenchPeers peers;
    Daemon mifd;
    if (!startBenchDaemon(&mifd, &peers, root))
        return {missingRow("13", "transfers through a paced relay", "the daemon did not start")};
    struct Link {
        const char *name;
        double bitsPerSecond;
        uint32_t size;
    };
    const Link links[] = {{"100 Mbit/s", 100e6, SLOW_LOG_SIZE}, {"1 Gbit/s", 1e9, LOG_SIZE}};
    FigureRows rows;
    for (const Link &link : links) {
        std::vector<uint8_t> log = makeServiceLog(link.size);
        std::string source = root.path() + "/source.log";
        std::string fetched = root.path() + "/fetched.log";
        if (!writeFile(source, log))
            return {missingRow("13", "transfers through a paced relay", "cannot write the log")};
        std::vector<double> up, down, nominal(RUNS, link.bitsPerSecond / 8);
        for (int run = 0; run < RUNS; run++) {
            // The upload leaves the log that the download then fetches.
            up.push_back(relayedMifctlRate(mifd.port(), link.bitsPerSecond, {"set-log", "bb", source}, link.size));
            down.push_back(
                relayedMifctlRate(mifd.port(), link.bitsPerSecond, {"get-log", "bb", "-o", fetched}, link.size));
        }
        std::string size = std::to_string(link.size >> 20) + " MiB";
        std::string note = "mifctl through a relay forwarding " + std::to_string(RELAY_SEGMENT) + "-byte segments";
        rows.push_back(measuredRow("13", "upload of " + size + " with `mifctl set-log bb` over " + link.name, up,
                                   nominal, "the relay's rate", 0.9, note));
        rows.push_back(measuredRow("13", "download of " + size + " with `mifctl get-log bb` over " + link.name, down,
                                   nominal, "the relay's rate", 0.9, note));
    }
    return rows;
}
