// scripts/bench's table: runs the end-to-end figures against the built
// daemon, takes the in-process figures from the Google Benchmark program's
// JSON output, prints one table and writes it as JSON.
//
//   mif-bench --micro FILE [--json FILE] [--markdown FILE] [--only 2,6,10]
#include <cstdio>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <string>

#include "figures.h"

namespace {

struct Figure {
    int number;
    const char *name;
    FigureRows (*measure)(const MicroResults &);
};

// Every figure, in the order of the table.
const Figure kFigures[] = {
    {1, "MCH_SET_HEATING round trip", heatingRoundTripFigure},
    {2, "MCH_GET_WEIGHT round trip", weightRoundTripFigure},
    {3, "transfers", transferFigures},
    {6, "authentication", authenticationFigure},
    {7, "idle CPU", idleCpuFigure},
    {8, "resident memory", memoryFigure},
    {9, "state log", stateLogFigure},
    {10, "start-up", startUpFigure},
    {11, "IPC_Request", ipcRequestFigure},
    {12, "pictures and data packages", otherFileFigures},
    {13, "transfers over a paced link", relayFigures},
    {14, "Python Session and Ansible", pythonFigures},
};

MicroResults readMicro(const std::string &path)
{
    MicroResults results;
    std::ifstream in(path);
    nlohmann::json doc = nlohmann::json::parse(in, nullptr, false);
    if (doc.is_discarded() || !doc.contains("benchmarks"))
        return results;
    for (const auto &b : doc["benchmarks"]) {
        if (b.value("error_occurred", false))
            continue;
        MicroResult r;
        r.latency.median = b.value("p50_ns", 0.0);
        r.latency.p99 = b.value("p99_ns", 0.0);
        r.latency.count = size_t(b.value("iterations", 0));
        r.itemsPerSecond = b.value("items_per_second", 0.0);
        r.baseline.median = b.value("raw_p50_ns", 0.0);
        r.baseline.p99 = b.value("raw_p99_ns", 0.0);
        r.baseline.count = r.baseline.median > 0 ? r.latency.count : 0;
        r.oneCpu = b.value("one_cpu", 0.0) > 0;
        // "BM_IpcRequest/iterations:10000/manual_time": the function name is the key.
        std::string name = b.value("name", "");
        results[name.substr(0, name.find('/'))] = r;
    }
    return results;
}

std::set<int> parseOnly(const char *list)
{
    std::set<int> only;
    for (const char *p = list; *p;) {
        only.insert(atoi(p));
        const char *comma = strchr(p, ',');
        p = comma ? comma + 1 : p + strlen(p);
    }
    return only;
}

}  // namespace

FigureRows stateLogFigure(const MicroResults &micro)
{
    auto append = micro.find("BM_StateLogAppend");
    auto fetch = micro.find("BM_StateLogFetchFull");
    auto copy = micro.find("BM_MemcpyFullLog");
    FigureRows rows;
    if (append == micro.end())
        rows.push_back(missingRow("9", "state log appends", "no result from the in-process benchmarks"));
    else
        rows.push_back(ratioRow("9", "state log appends (255-character entries)", append->second.itemsPerSecond,
                                0, "/s", "-", 0, "reported"));
    if (fetch == micro.end() || copy == micro.end())
        rows.push_back(missingRow("9", "MCH_GET_STATE of a full log", "no result from the in-process benchmarks"));
    else
        rows.push_back(latencyRow("9", "MCH_GET_STATE of a full log (65,535 x 255)", fetch->second.latency,
                                  copy->second.latency, "memcpy", 20));
    rows.front().baseline = kNoValue;
    return rows;
}

FigureRows ipcRequestFigure(const MicroResults &micro)
{
    auto ipc = micro.find("BM_IpcRequest");
    if (ipc == micro.end())
        return {missingRow("11", "IPC_Request round trip", "no result from the in-process benchmarks")};
    FigureRow row = latencyRow("11", "IPC_Request round trip", ipc->second.latency, ipc->second.baseline,
                               "nanomsg REQ/REP", 1.3);
    row.note = ipc->second.oneCpu ? "both on one core" : "unpinned: the system refused to keep it on one core";
    return {row};
}

int main(int argc, char **argv)
{
    std::string microPath, jsonPath, markdownPath;
    std::set<int> only;
    for (int i = 1; i < argc; i++) {
        if (!strcmp(argv[i], "--micro") && i + 1 < argc)
            microPath = argv[++i];
        else if (!strcmp(argv[i], "--json") && i + 1 < argc)
            jsonPath = argv[++i];
        else if (!strcmp(argv[i], "--markdown") && i + 1 < argc)
            markdownPath = argv[++i];
        else if (!strcmp(argv[i], "--only") && i + 1 < argc)
            only = parseOnly(argv[++i]);
        else {
            fprintf(stderr, "usage: mif-bench --micro FILE [--json FILE] [--markdown FILE] [--only N,N...]\n");
            return 2;
        }
    }
    MicroResults micro = readMicro(microPath);
    FigureRows rows;
    for (const Figure &f : kFigures) {
        if (!only.empty() && !only.count(f.number))
            continue;
        fprintf(stderr, "bench: figure %d, %s\n", f.number, f.name);
        int64_t start = nowNs();
        FigureRows measured = f.measure(micro);
        fprintf(stderr, "bench: figure %d took %.1f s\n", f.number, double(nowNs() - start) / 1e9);
        rows.insert(rows.end(), measured.begin(), measured.end());
    }
    printTable(rows);
    if (!jsonPath.empty() && !writeTableJson(rows, jsonPath)) {
        fprintf(stderr, "bench: cannot write %s\n", jsonPath.c_str());
        return 1;
    }
    if (!markdownPath.empty())
        writeTableMarkdown(rows, markdownPath);
    return 0;
}
