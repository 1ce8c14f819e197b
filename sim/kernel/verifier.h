// The simulated machine's driver verifier: rule violations that would bug-check a real machine
// (a wait at DISPATCH_LEVEL, a lock released by the wrong thread, pool freed twice, a leak at
// shutdown) are reported here. By default a report prints its message and aborts the process,
// which fails the running test with the message; a test that wants to see a violation happen
// switches to recording and reads the reports afterwards.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace sim {

enum class VerifierMode { Abort, Record };

class Verifier {
public:
    void SetMode(VerifierMode mode);
    VerifierMode Mode() const;

    // Records or aborts. Returns normally only in Record mode; the caller then skips the
    // offending operation so that the machine stays usable.
    void Report(const std::string& rule, const std::string& detail);

    std::vector<std::string> Reports() const;
    bool HasReport(const std::string& rule) const;
    void ClearReports();

private:
    mutable std::mutex lock_;
    VerifierMode mode_ = VerifierMode::Abort;
    std::vector<std::string> reports_;
};

}  // namespace sim
