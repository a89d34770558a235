// The whole release check behind "tovpublish verify": signature, every channel's entry, and
// optionally the packages themselves.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "reader.h"
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
    bool requirePackages = false;  // a channel without a --package is refused
    bool packagesProbed = false;   // the caller checks the packages where they are served: no note
    bool strict = false;           // non-ASCII names in a win7 package are refused, not warned about
};

// One channel as the installer reads it, and whether the tool's stricter rules keep it.
struct ChannelResult {
    std::string channel;
    bool installerAccepts = false;  // the installer's reader takes the entry below
    bool ok = false;                // and every rule of "tovpublish manifest" holds too
    std::string latestVersion, url, sha256;
    uint64_t sizeBytes = 0;
    std::string package;  // the zip checked against the entry, empty when none was given
    FlagMember reuse = FlagMember::Absent;
};

struct VerifyOutcome {
    std::string fingerprint;            // of the public key, empty when it cannot be read
    bool signatureOk = false;
    FlagMember allowDowngrade = FlagMember::Absent; // as read with the first channel the installer reads
    std::vector<ChannelResult> channels;
    std::vector<std::string> checked;   // what passed
    std::vector<std::string> warnings;
    std::vector<std::string> failures;  // any entry means refused
    bool ok() const { return failures.empty(); }
};

void VerifyRelease(const VerifyInput& input, VerifyOutcome* outcome);

}  // namespace pub
