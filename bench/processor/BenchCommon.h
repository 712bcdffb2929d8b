#pragma once

// Shared by the processor benchmarks: the machine's load next to every figure,
// and a console reporter that keeps each benchmark's time per iteration so the
// run can end with ratios against baselines measured in the same run.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include <unistd.h>

namespace vesk::bench
{
// The three load averages, as /proc/loadavg gives them.
inline std::string loadAverage()
{
    std::ifstream file("/proc/loadavg");
    std::string one, five, fifteen;
    if (!(file >> one >> five >> fifteen))
        return "unknown";
    return one + " " + five + " " + fifteen;
}

// Value at fraction q (0..1) of the values, nearest rank. Sorts them in place.
inline double percentile(std::vector<double>& values, double q)
{
    if (values.empty())
        return std::nan("");
    std::sort(values.begin(), values.end());
    const auto rank = static_cast<size_t>(std::ceil(q * static_cast<double>(values.size())));
    return values[std::min(values.size() - 1, rank > 0 ? rank - 1 : 0)];
}

// Prints as the console reporter does and remembers, for each benchmark name
// (function name and arguments), the real and the CPU time per iteration in
// nanoseconds: the median aggregate when repetitions were asked for, otherwise
// the median of the plain runs. On a shared machine the CPU time is the steadier
// of the two: it leaves out the time the thread waited for a core.
class FigureCollector : public benchmark::ConsoleReporter
{
public:
    // Colours only on a terminal: a log file gets plain text.
    FigureCollector()
        : benchmark::ConsoleReporter(isatty(fileno(stdout)) ? OO_ColorTabular : OO_Tabular)
    {
    }

    void ReportRuns(const std::vector<Run>& runs) override
    {
        for (const auto& run : runs)
        {
            if (run.error_occurred)
                continue;
            const double toNs = 1e9 / benchmark::GetTimeUnitMultiplier(run.time_unit);
            const Times times{run.GetAdjustedRealTime() * toNs, run.GetAdjustedCPUTime() * toNs};
            const auto key = name(run);
            if (run.run_type == Run::RT_Aggregate)
            {
                if (run.aggregate_name == "median")
                    medians[key] = times;
            }
            else
            {
                plain[key].push_back(times);
            }
        }
        benchmark::ConsoleReporter::ReportRuns(runs);
    }

    struct Times
    {
        double real = std::nan("");
        double cpu = std::nan("");
    };

    // Nanoseconds per iteration of the named benchmark, NaN if it did not run.
    Times nanoseconds(const std::string& key) const
    {
        if (const auto m = medians.find(key); m != medians.end())
            return m->second;
        const auto p = plain.find(key);
        if (p == plain.end())
            return {};
        std::vector<double> real, cpu;
        for (const auto& t : p->second)
        {
            real.push_back(t.real);
            cpu.push_back(t.cpu);
        }
        return {percentile(real, 0.5), percentile(cpu, 0.5)};
    }

private:
    static std::string name(const Run& run)
    {
        const auto& n = run.run_name;
        return n.args.empty() ? n.function_name : n.function_name + "/" + n.args;
    }

    std::map<std::string, Times> medians;
    std::map<std::string, std::vector<Times>> plain;
};
} // namespace vesk::bench
