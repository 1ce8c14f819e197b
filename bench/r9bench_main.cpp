// Runs the benchmarks, then prints each data benchmark's speed as a multiple of memcpy of the same
// number of bytes (the 2-, 3- or 4-byte-sample request).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace {

class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            const auto rate = run.counters.find("bytes_per_second");
            if (rate != run.counters.end() && run.run_type == Run::RT_Iteration) {
                rates_.push_back({run.benchmark_name(), rate->second.value});
            }
        }
    }

    void Finalize() override
    {
        ConsoleReporter::Finalize();
        double memcpyRate = 0;
        for (const auto& [name, rate] : rates_) {
            if (name.rfind("Memcpy", 0) == 0 && rate > memcpyRate) {
                memcpyRate = rate;
            }
        }
        if (memcpyRate == 0) {
            return;
        }
        std::printf("\n%-48s %12s %10s\n", "beside memcpy (its fastest size)", "GB/s", "x memcpy");
        for (const auto& [name, rate] : rates_) {
            std::printf("%-48s %12.2f %10.3f\n", name.c_str(), rate / 1e9, rate / memcpyRate);
        }
    }

private:
    std::vector<std::pair<std::string, double>> rates_;
};

}  // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
