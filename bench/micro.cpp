// The in-process figures, on Google Benchmark: one signature check (the
// authentication figure's baseline), the state log's appends and its fetch
// against a plain memcpy, and a messaging-library request against a raw
// nanomsg request. Every benchmark runs a fixed number of iterations and
// reports its median (and p99) per iteration as counters, which the table
// of scripts/bench reads from the JSON output.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <nanomsg/nn.h>
#include <nanomsg/reqrep.h>

#include "ipc/ipc.h"
#include "monitor/state_log.h"
#include "placement.h"
#include "raw_peers.h"
#include "session/signing.h"
#include "stats.h"

namespace {

void reportLatency(benchmark::State &state, const std::vector<double> &samples)
{
    Summary s = summarize(samples);
    state.counters["p50_ns"] = s.median;
    state.counters["p99_ns"] = s.p99;
}

std::vector<uint8_t> readFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A directory for socket files, removed at the end of the benchmark.
struct ScratchDir {
    std::string path;
    ScratchDir()
    {
        char pattern[] = "/tmp/mifbenchXXXXXX";
        if (mkdtemp(pattern))
            path = pattern;
        std::filesystem::create_directories(path + "/tmp");
    }
    ~ScratchDir()
    {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
};

// ------------------------------------------------- one RSA-PSS verification

// What the daemon does per role row, without the key import: the check of
// a testlab signature over a 256-byte challenge with the testlab key.
void BM_RsaPssVerify(benchmark::State &state)
{
    std::string keys = std::string(MIF_BENCH_SOURCE_DIR) + "/keys/dev/";
    signingSetup();
    SigningKey signer;
    std::vector<uint8_t> challenge(256);
    for (size_t i = 0; i < challenge.size(); i++)
        challenge[i] = uint8_t(i * 131 + 7);
    std::vector<uint8_t> signature(512);
    uint32_t signatureLength = uint32_t(signature.size());
    std::vector<uint8_t> der = readFile(keys + "testlab.der");
    rsa_key key{};
    if (loadSigningKeyFile(&signer, (keys + "testlab.pem").c_str()) != CRYPT_OK ||
        signChallenge(&signer, challenge.data(), uint32_t(challenge.size()), signature.data(), &signatureLength) !=
            CRYPT_OK ||
        rsa_import(der.data(), der.size(), &key) != CRYPT_OK) {
        state.SkipWithError("cannot sign or import the testlab key");
        return;
    }
    int hash = find_hash("sha512");
    std::vector<double> samples;
    for (auto _ : state) {
        int64_t start = nowNs();
        int status = 0;
        int result = rsa_verify_hash_ex(signature.data(), signatureLength, challenge.data(), challenge.size(),
                                        LTC_PKCS_1_PSS, hash, 16, &status, &key);
        double elapsed = double(nowNs() - start);
        state.SetIterationTime(elapsed / 1e9);
        samples.push_back(elapsed);
        if (result != CRYPT_OK || status != 1) {
            state.SkipWithError("the signature did not verify");
            break;
        }
    }
    rsa_free(&key);
    reportLatency(state, samples);
}
BENCHMARK(BM_RsaPssVerify)->Iterations(300)->UseManualTime()->Unit(benchmark::kMicrosecond);

// ------------------------------------------------------------ the state log

constexpr int kLongestEntry = MIF_GetMachineState::MaxEntrySize - 1;

// Entries of the longest allowed size: a time stamp, a code and padding.
const char *padding()
{
    static std::string pad(kLongestEntry - 18, 'x');   // "%013llu:EV:" and ";" take 18
    return pad.c_str();
}

int appendLongest(unsigned long long stamp)
{
    return logStateString("%013llu:EV:%s;", stamp, padding());
}

void fillStateLog()
{
    free(getStateString());
    for (uint32_t i = 0; i < MIF_GetMachineState::MaxEntries; i++)
        appendLongest(1700000000000ULL + i);
}

void BM_StateLogAppend(benchmark::State &state)
{
    free(getStateString());
    unsigned long long stamp = 1700000000000ULL;
    for (auto _ : state) {
        if (appendLongest(stamp++) != kLongestEntry) {
            state.SkipWithError("entry rejected");
            break;
        }
    }
    state.SetItemsProcessed(int64_t(state.iterations()));
    free(getStateString());
}
// Twice the log's capacity: the second half appends to a full log, which
// drops its oldest entry each time.
BENCHMARK(BM_StateLogAppend)->Iterations(2 * MIF_GetMachineState::MaxEntries)->UseRealTime();

// MCH_GET_STATE's work: the whole full log in one buffer.
void BM_StateLogFetchFull(benchmark::State &state)
{
    std::vector<double> samples;
    for (auto _ : state) {
        state.PauseTiming();
        fillStateLog();
        state.ResumeTiming();
        int64_t start = nowNs();
        char *text = getStateString();
        double elapsed = double(nowNs() - start);
        state.SetIterationTime(elapsed / 1e9);
        samples.push_back(elapsed);
        benchmark::DoNotOptimize(text);
        if (!text || strlen(text) != size_t(kLongestEntry) * MIF_GetMachineState::MaxEntries) {
            free(text);
            state.SkipWithError("the full log did not come back whole");
            break;
        }
        free(text);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * kLongestEntry * MIF_GetMachineState::MaxEntries);
    reportLatency(state, samples);
}
BENCHMARK(BM_StateLogFetchFull)->Iterations(15)->UseManualTime()->Unit(benchmark::kMillisecond);

// The floor of that fetch: one memcpy of the same number of bytes between
// two buffers already in memory.
void BM_MemcpyFullLog(benchmark::State &state)
{
    size_t size = size_t(kLongestEntry) * MIF_GetMachineState::MaxEntries + 1;
    std::vector<char> from(size, 'x');
    std::vector<char> to(size, 0);
    std::vector<double> samples;
    for (auto _ : state) {
        int64_t start = nowNs();
        memcpy(to.data(), from.data(), size);
        benchmark::ClobberMemory();
        double elapsed = double(nowNs() - start);
        state.SetIterationTime(elapsed / 1e9);
        samples.push_back(elapsed);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(size));
    reportLatency(state, samples);
}
BENCHMARK(BM_MemcpyFullLog)->Iterations(50)->UseManualTime()->Unit(benchmark::kMillisecond);

// --------------------------------------------------------- request/reply

// The request the daemon sends most: a header and a one-byte argument,
// answered with a status and a one-byte flag.
constexpr int kRequestPayload = 1;

void replyWithFlag(const void *, const void *, int, ReplyHeader *outHdr, void **outPayload, int *outLen)
{
    outHdr->status = 0;
    *outPayload = malloc(1);
    *static_cast<uint8_t *>(*outPayload) = 1;
    *outLen = 1;
}

// IPC_Request to a reply server of the library, both in this process (the
// process requests itself: the server answers on its receiver thread),
// against the same exchange on bare nanomsg sockets over the same transport
// (a request of the same size answered with a reply of the same size). The
// two alternate within each iteration, so that load from elsewhere hits
// both alike; the bare round trip is reported in the raw_ counters. Both
// run on one core (placement.h): pinned before the first socket, so that
// the library's own threads start there too.
void BM_IpcRequest(benchmark::State &state)
{
    OneCpu pin;
    state.counters["one_cpu"] = pinToOneCpu(&pin) ? 1 : 0;
    ScratchDir dir;
    setenv("MIF_ROOT", dir.path.c_str(), 1);
    std::string rawAddress = "ipc://" + dir.path + "/tmp/RawReply.ipc";
    NnEchoServer rawServer;
    int raw = nn_socket(AF_SP, NN_REQ);
    int timeout = RAW_WAIT_MS;
    if (IPC_Init(40, "Bench") != IPC_OK || IPC_OpenReplyServer(replyWithFlag) != IPC_OK ||
        IPC_OpenRequester("Bench", 1000) != IPC_OK || !startNnEcho(&rawServer, rawAddress) || raw < 0 ||
        nn_setsockopt(raw, NN_SOL_SOCKET, NN_RCVTIMEO, &timeout, sizeof timeout) != 0 ||
        nn_connect(raw, rawAddress.c_str()) < 0) {
        IPC_Deinit();
        if (raw >= 0)
            nn_close(raw);
        unsetenv("MIF_ROOT");
        state.SkipWithError("cannot open the messaging endpoints");
        return;
    }
    uint8_t argument = 1;
    auto ipcRoundTrip = [&]() {
        RequestHeader hdr{};
        hdr.requestCode = 36;
        ReplyHeader reply{};
        void *payload = nullptr;
        int length = 0;
        IpcStatus status = IPC_Request("Bench", &hdr, &argument, kRequestPayload, &reply, &payload, &length);
        free(payload);
        return status == IPC_OK && reply.status == 0;
    };
    std::vector<char> request(sizeof(RequestHeader) + kRequestPayload, 'r');
    auto rawRoundTrip = [&]() {
        if (nn_send(raw, request.data(), request.size(), 0) < 0)
            return false;
        void *reply = nullptr;
        if (nn_recv(raw, &reply, NN_MSG, 0) < 0)
            return false;
        nn_freemsg(reply);
        return true;
    };
    // The first requests wait for the connections to come up.
    for (int i = 0; i < 200; i++) {
        ipcRoundTrip();
        rawRoundTrip();
    }
    std::vector<double> ipcSamples, rawSamples;
    for (auto _ : state) {
        int64_t start = nowNs();
        bool ok = ipcRoundTrip();
        int64_t middle = nowNs();
        ok = rawRoundTrip() && ok;
        int64_t end = nowNs();
        state.SetIterationTime(double(middle - start) / 1e9);
        ipcSamples.push_back(double(middle - start));
        rawSamples.push_back(double(end - middle));
        if (!ok) {
            state.SkipWithError("request failed");
            break;
        }
    }
    nn_close(raw);
    stopNnEcho(&rawServer);
    IPC_Deinit();
    unsetenv("MIF_ROOT");
    reportLatency(state, ipcSamples);
    Summary bare = summarize(rawSamples);
    state.counters["raw_p50_ns"] = bare.median;
    state.counters["raw_p99_ns"] = bare.p99;
}
BENCHMARK(BM_IpcRequest)->Iterations(10000)->UseManualTime()->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
