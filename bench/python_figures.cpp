// Figure 14: the Python package and the Ansible collection. The
// measurements run in bench/python_figures.py, which needs the package of
// this build tree; this turns its JSON into the table's rows.
#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>

#include "figures.h"

FigureRows pythonFigures(const MicroResults &)
{
    FigureRows rows;
#ifdef MIF_BENCH_PYTHON
    const std::string command = std::string("PYTHONPATH='") + MIF_BENCH_PYTHON_DIR + "' '" + MIF_BENCH_PYTHON +
                                "' '" + MIF_BENCH_SOURCE_DIR + "/bench/python_figures.py'";
    std::string output;
    if (FILE *pipe = popen(command.c_str(), "r")) {
        char buffer[65536];
        size_t got;
        while ((got = fread(buffer, 1, sizeof buffer, pipe)) > 0)
            output.append(buffer, got);
        if (pclose(pipe) != 0)
            output.clear();
    }
    const nlohmann::json figures = nlohmann::json::parse(output, nullptr, false);
    if (figures.is_object() && figures.contains("weight_python_ns") && figures.contains("playbook_s")) {
        rows.push_back(latencyRow("14", "MCH_GET_WEIGHT through a Python Session (1,000)",
                                  summarize(figures["weight_python_ns"].get<std::vector<double>>()),
                                  summarize(figures["weight_cxx_ns"].get<std::vector<double>>()),
                                  "C++ client in-process", 1.3));
        rows.push_back(ratioRow("14", "example playbook, 5 simulated appliances, forks 5",
                                figures["playbook_s"].get<double>() * 1e9, figures["mifctl_s"].get<double>() * 1e9,
                                "ns", "the same steps with mifctl, one after the other", 0, "reported"));
        return rows;
    }
    rows.push_back(missingRow("14", "Python Session and example playbook", "bench/python_figures.py failed"));
#else
    rows.push_back(missingRow("14", "Python Session and example playbook", "built without the Python package"));
#endif
    return rows;
}
