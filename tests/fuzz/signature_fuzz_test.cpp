// Mutated signed manifests and mutated signature texts through the real signature check. The
// manifest ends at a guard page and so does the signature text (its terminator is the last byte).
// A manifest that differs from the signed one must be refused; a signature text must be refused
// whenever it decodes to other bytes than the real signature (decided here by an own base64
// decoder), and accepted in every layout the signature file format allows.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_util.h"
#include "mutate.h"
#include "trust/trust.h"

using namespace fuzz;

namespace {

const uint64_t SIGNED_MANIFEST_SEED = 0x7369676E65646D61ull;
const uint64_t SIGNATURE_TEXT_SEED = 0x7369677465787473ull;
// Each check costs a few milliseconds of RSA under Wine; these counts keep each test well under
// a minute on one core.
const uint64_t SIGNED_MANIFEST_CASES = 10000;
const uint64_t SIGNATURE_TEXT_CASES = 12000;

typedef std::vector<unsigned char> Bytes;

const char BASE64_ALPHABET[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string Base64Encode(const Bytes& bytes) {
    std::string out;
    for (size_t i = 0; i < bytes.size(); i += 3) {
        uint32_t group = (uint32_t)bytes[i] << 16;
        if (i + 1 < bytes.size())
            group |= (uint32_t)bytes[i + 1] << 8;
        if (i + 2 < bytes.size())
            group |= bytes[i + 2];
        out += BASE64_ALPHABET[(group >> 18) & 63];
        out += BASE64_ALPHABET[(group >> 12) & 63];
        out += i + 1 < bytes.size() ? BASE64_ALPHABET[(group >> 6) & 63] : '=';
        out += i + 2 < bytes.size() ? BASE64_ALPHABET[group & 63] : '=';
    }
    return out;
}

int Base64Value(char c) {
    const char* at = c ? strchr(BASE64_ALPHABET, c) : nullptr;
    return at ? (int)(at - BASE64_ALPHABET) : -1;
}

// The bytes a signature text stands for, read as leniently as any base64 reader could: the body
// between a BEGIN and an END marker when there is one, its alphabet characters up to the first
// padding character, everything else skipped. False when no byte string can come out of it.
// A text whose result equals the real signature carries the real signature; any other text must
// not verify.
bool LenientDecode(const std::string& text, Bytes* bytes) {
    bytes->clear();
    std::string body = text.substr(0, text.find('\0'));
    size_t begin = body.find("-----BEGIN ");
    if (begin != std::string::npos) {
        size_t headerEnd = body.find("-----", begin + 11);
        if (headerEnd == std::string::npos)
            return false;
        size_t end = body.find("-----END ", headerEnd + 5);
        if (end == std::string::npos)
            return false;
        body = body.substr(headerEnd + 5, end - headerEnd - 5);
    }
    std::vector<int> values;
    for (char c : body) {
        if (c == '=')
            break;
        int value = Base64Value(c);
        if (value >= 0)
            values.push_back(value);
    }
    if (values.size() % 4 == 1)
        return false;
    uint32_t buffer = 0;
    int bits = 0;
    for (int value : values) {
        buffer = (buffer << 6) | (uint32_t)value;
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            bytes->push_back((unsigned char)(buffer >> bits));
        }
    }
    return true;
}

struct SignedSeed {
    std::string name;
    std::string manifest;
    std::string signatureText; // as openssl wrote it: 64-column lines, LF
    Bytes signature;
    Bytes otherKeySignature;
};

std::string DataFile(const std::string& name) {
    return ReadFileBytes(std::string(TOV_FUZZ_DATA_DIR) + "/" + name);
}

std::vector<SignedSeed> LoadSignedSeeds() {
    std::vector<SignedSeed> seeds;
    for (const char* name : {"plain", "compact", "crlf"}) {
        SignedSeed seed;
        seed.name = name;
        seed.manifest = ReadFileBytes(std::string(TOV_FUZZ_SEED_DIR) + "/" + name + ".json");
        seed.signatureText = DataFile(seed.name + ".sig");
        std::string binary = DataFile(seed.name + ".sig.bin");
        seed.signature.assign(binary.begin(), binary.end());
        std::string other = DataFile(seed.name + ".other.sig.bin");
        seed.otherKeySignature.assign(other.begin(), other.end());
        seeds.push_back(seed);
    }
    return seeds;
}

// The key's modulus, big-endian, from "Modulus=HEX".
Bytes LoadModulus() {
    std::string text = DataFile("modulus.txt");
    size_t at = text.find('=');
    Bytes modulus;
    for (size_t i = at + 1; at != std::string::npos && i + 1 < text.size(); i += 2) {
        if (!isxdigit((unsigned char)text[i]) || !isxdigit((unsigned char)text[i + 1]))
            break;
        modulus.push_back((unsigned char)std::stoi(text.substr(i, 2), nullptr, 16));
    }
    return modulus;
}

// Big-endian a + b, one byte longer when it carries.
Bytes AddBigEndian(const Bytes& a, const Bytes& b) {
    Bytes sum(a.size());
    unsigned carry = 0;
    for (size_t i = a.size(); i-- > 0;) {
        unsigned total = a[i] + (i < b.size() ? b[i] : 0) + carry;
        sum[i] = (unsigned char)total;
        carry = total >> 8;
    }
    if (carry)
        sum.insert(sum.begin(), (unsigned char)carry);
    return sum;
}

// A layout the signature file format allows: the base64 split over lines of any width with LF or
// CR LF line ends, with or without a final line break, optionally between BEGIN and END lines.
std::string AllowedLayout(const Bytes& signature, Rng& rng) {
    std::string encoded = Base64Encode(signature);
    static const uint32_t widths[] = {64, 76, 1, 3, 4, 511, 512, 1000};
    uint32_t width = rng.Percent(50) ? widths[rng.Below(8)] : rng.Range(1, 200);
    bool crlf = rng.Percent(50);
    const char* newline = crlf ? "\r\n" : "\n";
    std::string text;
    for (size_t i = 0; i < encoded.size(); i += width) {
        if (i)
            text += rng.Percent(90) ? newline : (crlf ? "\n" : "\r\n"); // mixed line ends
        text += encoded.substr(i, width);
    }
    if (rng.Percent(50))
        text += newline;
    if (rng.Percent(30)) {
        static const char* const labels[] = {"SIGNATURE", "RSA SIGNATURE", "MANIFEST SIGNATURE"};
        std::string label = labels[rng.Below(3)];
        if (text.empty() || text.back() != '\n')
            text += newline;
        text = "-----BEGIN " + label + "-----" + newline + text + "-----END " + label + "-----";
        if (rng.Percent(50))
            text += newline;
    }
    return text;
}

// Edits of the text itself, blind to what it decodes to.
void EditText(std::string* text, Rng& rng) {
    static const char specials[] = {'=',  ' ', '\t',   '\r',   '\n',   '\0', '-', '_', '.', '!',
                                    '\\', '"', '\x80', '\xC3', '\xFF', 'A',  'z', '0', '+', '/'};
    std::string& t = *text;
    switch (rng.Below(9)) {
    case 0:
        if (!t.empty())
            t[rng.Below((uint32_t)t.size())] ^= (char)(1u << rng.Below(8));
        break;
    case 1:
        if (!t.empty())
            t[rng.Below((uint32_t)t.size())] =
                rng.Percent(50) ? specials[rng.Below(sizeof(specials))] : BASE64_ALPHABET[rng.Below(64)];
        break;
    case 2: {
        std::string inserted;
        for (uint32_t n = rng.Range(1, 8); n > 0; --n)
            inserted +=
                rng.Percent(50) ? specials[rng.Below(sizeof(specials))] : BASE64_ALPHABET[rng.Below(64)];
        t.insert(rng.Below((uint32_t)t.size() + 1), inserted);
        break;
    }
    case 3:
        if (!t.empty()) {
            size_t length = rng.Range(1, rng.Percent(80) ? 4 : (uint32_t)t.size());
            if (length > t.size())
                length = t.size();
            t.erase(rng.Below((uint32_t)(t.size() - length + 1)), length);
        }
        break;
    case 4:
        if (!t.empty()) {
            size_t length = rng.Range(1, rng.Percent(80) ? 8 : (uint32_t)t.size());
            if (length > t.size())
                length = t.size();
            size_t start = rng.Below((uint32_t)(t.size() - length + 1));
            t.insert(start + length, t.substr(start, length));
        }
        break;
    case 5:
        t.resize(rng.Below((uint32_t)t.size() + 1));
        break;
    case 6:
        if (t.size() > 1) {
            size_t i = rng.Below((uint32_t)t.size() - 1);
            std::swap(t[i], t[i + 1]);
        }
        break;
    case 7:
        if (!t.empty()) {
            size_t i = rng.Below((uint32_t)t.size());
            if (isalpha((unsigned char)t[i]))
                t[i] ^= 0x20;
        }
        break;
    default:
        t += rng.Percent(50) ? std::string("AAAA") : std::string(1, specials[rng.Below(sizeof(specials))]);
        break;
    }
}

// Edits of the decoded bytes; the result is always another byte string than the signature.
Bytes EditBytes(const Bytes& signature, Rng& rng) {
    Bytes bytes = signature;
    switch (rng.Below(12)) {
    case 0:
        bytes[rng.Below((uint32_t)bytes.size())] ^= (unsigned char)(1u << rng.Below(8));
        break;
    case 1:
        bytes[rng.Below((uint32_t)bytes.size())] += (unsigned char)rng.Range(1, 255);
        break;
    case 2: // least significant byte first
        bytes.assign(signature.rbegin(), signature.rend());
        break;
    case 3:
        bytes.insert(bytes.begin(), rng.Range(1, 3), 0);
        break;
    case 4:
        bytes.insert(bytes.end(), rng.Range(1, 3), 0);
        break;
    case 5:
        bytes.erase(bytes.begin());
        break;
    case 6:
        bytes.pop_back();
        break;
    case 7:
        bytes.resize(rng.Below((uint32_t)bytes.size()));
        break;
    case 8:
        bytes.assign(signature.size(), rng.Percent(50) ? 0x00 : 0xFF);
        break;
    case 9:
        bytes = AddBigEndian(signature, Bytes{1});
        break;
    case 10: {
        size_t i = rng.Below((uint32_t)bytes.size()), j = rng.Below((uint32_t)bytes.size());
        std::swap(bytes[i], bytes[j]);
        if (bytes == signature)
            bytes[i] ^= 1;
        break;
    }
    default:
        for (unsigned char& b : bytes)
            b = (unsigned char)rng.Below(256);
        break;
    }
    if (bytes == signature)
        bytes[0] ^= 0x80;
    return bytes;
}

// Edits after signing that leave the text looking the same: bytes after the end (a zero byte
// first, as if the manifest were a C text), a byte-order mark, line ends, a final line break.
std::string EditSignedEnds(const std::string& manifest, Rng& rng) {
    std::string edited = manifest;
    switch (rng.Below(7)) {
    case 0:
    case 1: {
        edited += '\0';
        for (uint32_t n = rng.Below(16); n > 0; --n)
            edited += (char)rng.Below(256);
        break;
    }
    case 2:
        edited += rng.Percent(50) ? "\n" : " ";
        break;
    case 3:
        edited = "\xEF\xBB\xBF" + edited;
        break;
    case 4:
        edited.pop_back();
        break;
    case 5:
        edited[rng.Below((uint32_t)edited.size())] = '\0';
        break;
    default:
        ApplyMutation(&edited, MUTATE_LINE_ENDS, rng);
        break;
    }
    return edited;
}

enum TextKind { TEXT_LAYOUT, TEXT_EDITED, TEXT_OTHER_BYTES, TEXT_FOREIGN, TEXT_MODULUS, TEXT_KINDS };
const char* const TEXT_KIND_NAMES[TEXT_KINDS] = {"allowed layouts", "edited texts", "changed bytes",
                                                 "other signatures", "modulus arithmetic"};

struct Placement {
    GuardedRegion* manifestRegion;
    GuardedRegion* textRegion;
};

// Runs the real check with both inputs ending at a guard page; `fault` tells whether either was
// read past its end.
bool Verify(const Placement& places, const std::string& manifest, const std::string& text, bool* fault) {
    const char* data = PlaceBytes(places.manifestRegion, manifest.data(), manifest.size());
    std::string terminated = text.substr(0, text.find('\0')) + '\0';
    const char* signature = PlaceBytes(places.textRegion, terminated.data(), terminated.size());
    BOOL ok = VerifyManifestSignature((const BYTE*)data, (UINT32)manifest.size(), signature);
    size_t past = 0;
    *fault = TakeGuardFault(&past);
    return ok != FALSE;
}

class SignatureFuzz : public ::testing::Test {
  protected:
    void SetUp() override {
        seeds = LoadSignedSeeds();
        // One pair of regions for the whole process, whichever tests run in it.
        static Placement shared = {CreateGuardedRegion(MAX_MUTATED_SIZE), CreateGuardedRegion(1 << 16)};
        places = shared;
        ASSERT_NE(nullptr, places.manifestRegion);
        ASSERT_NE(nullptr, places.textRegion);
        for (const SignedSeed& seed : seeds) {
            ASSERT_FALSE(seed.manifest.empty() || seed.signatureText.empty()) << seed.name;
            Bytes decoded;
            ASSERT_TRUE(LenientDecode(seed.signatureText, &decoded) && decoded == seed.signature)
                << "own base64 decoder disagrees with openssl for " << seed.name;
            ASSERT_EQ(384u, seed.signature.size()) << seed.name;
            bool fault = false;
            ASSERT_TRUE(Verify(places, seed.manifest, seed.signatureText, &fault))
                << seed.name << ": the seed signature does not verify with the built-in key";
            ASSERT_FALSE(Verify(places, seed.manifest, Base64Encode(seed.otherKeySignature), &fault))
                << seed.name;
        }
    }

    std::vector<SignedSeed> seeds;
    Placement places = {};
};

} // namespace

TEST_F(SignatureFuzz, ChangedManifestsAreRefused) {
    FailureLog log{"signed-manifest", 0, {}};
    uint64_t cases = SIGNED_MANIFEST_CASES * Scale(), unchanged = 0, accepted = 0, refused = 0;
    LARGE_INTEGER started = Now();
    uint64_t ran = 0;
    for (uint64_t i = 0; i < cases; ++i) {
        if (!CaseSelected(i))
            continue;
        ++ran;
        Rng rng(CaseSeed(SIGNED_MANIFEST_SEED, i));
        const SignedSeed& seed = seeds[rng.Below((uint32_t)seeds.size())];
        std::string manifest =
            rng.Percent(25) ? EditSignedEnds(seed.manifest, rng) : MutateManifest(seed.manifest, rng);
        // The signature text as written, or in another allowed layout of the same bytes.
        std::string text = rng.Percent(70) ? seed.signatureText : AllowedLayout(seed.signature, rng);
        SetCurrentCase("signed-manifest", i, &manifest);
        bool fault = false;
        bool ok = Verify(places, manifest, text, &fault);
        bool same = manifest == seed.manifest;
        unchanged += same;
        (ok ? accepted : refused) += 1;
        std::string where = " (seed " + seed.name + ", signature text \"" + Escape(text, 80) + "\")";
        if (fault)
            RecordFailure(&log, i, "read past the end of the manifest or the signature text" + where,
                          manifest);
        if (ok && !same)
            RecordFailure(&log, i, "a changed manifest was accepted with the original signature" + where,
                          manifest);
        if (!ok && same)
            RecordFailure(&log, i, "the unchanged manifest was refused" + where, manifest);
    }
    SetCurrentCase("", 0, nullptr);
    printf("[ fuzz ] signed manifests: %llu mutated manifests verified with their original signature: "
           "%llu accepted (%llu unchanged by their mutation), %llu refused, %llu failing cases, %.0f ms\n",
           (unsigned long long)ran, (unsigned long long)accepted, (unsigned long long)unchanged,
           (unsigned long long)refused, (unsigned long long)log.count, MillisecondsSince(started));
    EXPECT_EQ(0u, log.count) << FailureSummary(log);
}

TEST_F(SignatureFuzz, SignatureTextsVerifyOnlyWhenTheyDecodeToTheSignature) {
    Bytes modulus = LoadModulus();
    ASSERT_EQ(384u, modulus.size());
    FailureLog log{"signature-text", 0, {}};
    uint64_t cases = SIGNATURE_TEXT_CASES * Scale();
    uint64_t runs[TEXT_KINDS] = {}, accepts[TEXT_KINDS] = {}, sameBytes = 0, sameBytesAccepted = 0;
    LARGE_INTEGER started = Now();
    uint64_t ran = 0;
    for (uint64_t i = 0; i < cases; ++i) {
        if (!CaseSelected(i))
            continue;
        ++ran;
        Rng rng(CaseSeed(SIGNATURE_TEXT_SEED, i));
        size_t seedIndex = rng.Below((uint32_t)seeds.size());
        const SignedSeed& seed = seeds[seedIndex];
        uint32_t pick = rng.Below(100);
        TextKind kind = pick < 15   ? TEXT_LAYOUT
                        : pick < 60 ? TEXT_EDITED
                        : pick < 85 ? TEXT_OTHER_BYTES
                        : pick < 93 ? TEXT_FOREIGN
                                    : TEXT_MODULUS;
        std::string text;
        switch (kind) {
        case TEXT_LAYOUT:
            text = AllowedLayout(seed.signature, rng);
            break;
        case TEXT_EDITED:
            text = rng.Percent(50) ? seed.signatureText : AllowedLayout(seed.signature, rng);
            for (uint32_t n = rng.Range(1, 3); n > 0; --n)
                EditText(&text, rng);
            break;
        case TEXT_OTHER_BYTES:
            text = AllowedLayout(EditBytes(seed.signature, rng), rng);
            break;
        case TEXT_FOREIGN: {
            const SignedSeed& other =
                seeds[(seedIndex + rng.Range(1, (uint32_t)seeds.size() - 1)) % seeds.size()];
            uint32_t which = rng.Below(3);
            text = AllowedLayout(which == 0   ? seed.otherKeySignature
                                 : which == 1 ? other.signature
                                              : other.otherKeySignature,
                                 rng);
            break;
        }
        default: {
            // Values equal to the signature modulo n, and the edges of the range.
            Bytes one(384, 0);
            one.back() = 1;
            Bytes modulusMinusOne = modulus;
            modulusMinusOne.back() -= 1; // the modulus is odd
            Bytes padded = seed.signature;
            padded.insert(padded.begin(), 0);
            const Bytes values[] = {AddBigEndian(seed.signature, modulus),
                                    modulus,
                                    modulusMinusOne,
                                    one,
                                    padded,
                                    AddBigEndian(AddBigEndian(seed.signature, modulus), modulus)};
            text = AllowedLayout(values[rng.Below(6)], rng);
            break;
        }
        }
        SetCurrentCase("signature-text", i, &text);
        bool fault = false;
        bool ok = Verify(places, seed.manifest, text, &fault);
        Bytes decoded;
        bool same = LenientDecode(text, &decoded) && decoded == seed.signature;
        ++runs[kind];
        accepts[kind] += ok;
        sameBytes += same;
        sameBytesAccepted += same && ok;
        std::string where = std::string(" (") + TEXT_KIND_NAMES[kind] + ", seed " + seed.name + ")";
        if (fault)
            RecordFailure(&log, i, "read past the end of the manifest or the signature text" + where, text);
        if (ok && !same)
            RecordFailure(&log, i, "accepted a signature text that decodes to other bytes" + where, text);
        if (!ok && kind == TEXT_LAYOUT)
            RecordFailure(&log, i, "refused the signature in an allowed layout" + where, text);
    }
    SetCurrentCase("", 0, nullptr);
    printf(
        "[ fuzz ] signature texts: %llu verified, %llu decode to the real signature (%llu of them accepted), "
        "%llu failing cases, %.0f ms\n",
        (unsigned long long)ran, (unsigned long long)sameBytes, (unsigned long long)sameBytesAccepted,
        (unsigned long long)log.count, MillisecondsSince(started));
    printf("[ fuzz ] by kind (verified / accepted):");
    for (int k = 0; k < TEXT_KINDS; ++k)
        printf(" %s %llu/%llu;", TEXT_KIND_NAMES[k], (unsigned long long)runs[k],
               (unsigned long long)accepts[k]);
    printf("\n");
    EXPECT_EQ(0u, log.count) << FailureSummary(log);
}
