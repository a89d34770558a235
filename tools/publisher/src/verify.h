// The whole release check behind "tovpublish verify": signature, every channel's entry, and
// optionally the packages themselves.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "signature.h"

namespace pub {

// Largest manifest or signature the installer fetches over HTTPS (a body of 4 MiB fails).
constexpr size_t kMaxServedSize = 4194304 - 1;

struct VerifyInput {
    std::string publicPem;
    Bytes manifest;
    std::string signatureText;
    std::vector<std::string> channels;                           // empty: every channel present
    std::vector<std::pair<std::string, std::string>> packages;   // channel, zip path
};

struct VerifyOutcome {
    std::vector<std::string> checked;   // what passed
    std::vector<std::string> warnings;
    std::vector<std::string> failures;  // any entry means refused
    bool ok() const { return failures.empty(); }
};

void VerifyRelease(const VerifyInput& input, VerifyOutcome* outcome);

}  // namespace pub
