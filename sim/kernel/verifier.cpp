#include "sim/kernel/verifier.h"

#include <cstdio>
#include <cstdlib>

namespace sim {

void Verifier::SetMode(VerifierMode mode)
{
    std::lock_guard<std::mutex> guard(lock_);
    mode_ = mode;
}

VerifierMode Verifier::Mode() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return mode_;
}

void Verifier::Report(const std::string& rule, const std::string& detail)
{
    std::string text = rule + ": " + detail;
    std::lock_guard<std::mutex> guard(lock_);
    if (mode_ == VerifierMode::Abort) {
        std::fprintf(stderr, "\n*** simulated driver verifier: %s\n", text.c_str());
        std::fflush(stderr);
        std::abort();
    }
    reports_.push_back(text);
}

std::vector<std::string> Verifier::Reports() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return reports_;
}

bool Verifier::HasReport(const std::string& rule) const
{
    std::lock_guard<std::mutex> guard(lock_);
    for (const std::string& report : reports_) {
        if (report.compare(0, rule.size(), rule) == 0) {
            return true;
        }
    }
    return false;
}

void Verifier::ClearReports()
{
    std::lock_guard<std::mutex> guard(lock_);
    reports_.clear();
}

}  // namespace sim
