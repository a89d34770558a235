// Package hash check: size first, then the streamed SHA-256 compared with the manifest's digest.
#include "trust/trust.h"
#include "download/download.h"
#include "trust_test_util.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <string>

namespace {

std::unique_ptr<ManifestEntry> Entry(const std::string& sha, UINT64 size) {
    std::unique_ptr<ManifestEntry> entry(new ManifestEntry);
    memset(entry.get(), 0, sizeof(ManifestEntry));
    strncpy(entry->sha256, sha.c_str(), sizeof(entry->sha256) - 1);
    entry->sizeBytes = size;
    return entry;
}

std::string Upper(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), ::toupper);
    return text;
}

std::string Mixed(std::string text) {
    for (size_t i = 0; i < text.size(); i += 2)
        text[i] = (char)toupper(text[i]);
    return text;
}

struct PackageCase {
    const char* name;
    const char* file;
    std::function<std::string(std::string)> digest; // from the lower-case digest of the file
    INT64 sizeDelta;
    bool verifies;
};

class PackageFile : public ::testing::TestWithParam<PackageCase> {};

TEST_P(PackageFile, Verifies) {
    const PackageCase& c = GetParam();
    std::string hex = trusttest::ReadData((std::string(c.file) + ".sha256").c_str());
    ASSERT_EQ(hex.size(), 64u) << "trust test data missing";
    std::string data = trusttest::ReadData(c.file);
    auto entry = Entry(c.digest(hex), (UINT64)((INT64)data.size() + c.sizeDelta));
    EXPECT_EQ(VerifyPackageFile(trusttest::DataPath(c.file).c_str(), entry.get()) != FALSE, c.verifies);
    // A wrong file is told apart from one that could not be read.
    EXPECT_EQ(c.verifies ? PACKAGE_MATCHES : PACKAGE_DIFFERS,
              CheckPackageFile(trusttest::DataPath(c.file).c_str(), entry.get(), nullptr));

    // The same verdict for the digest taken on the way to disk: odd chunks through the feed's two buffers.
    HashFeed feed;
    ASSERT_TRUE(StartHashFeed(&feed));
    for (size_t at = 0; at < data.size(); at += 100000) {
        size_t length = std::min<size_t>(100000, data.size() - at);
        memcpy(HashFeedBuffer(&feed), data.data() + at, length);
        HashFeedSubmit(&feed, (DWORD)length);
    }
    StreamedDigest digest;
    FinishHashFeed(&feed, &digest);
    ASSERT_TRUE(digest.obtained);
    EXPECT_EQ(StreamedPackageMatches(digest.digest, digest.bytes, data.size(), entry.get()) != FALSE,
              c.verifies);
}

const PackageCase PACKAGE_CASES[] = {
    {"LowerCase", "pkg-small.bin", [](std::string h) { return h; }, 0, true},
    {"UpperCase", "pkg-small.bin", Upper, 0, true},
    {"MixedCase", "pkg-small.bin", Mixed, 0, true},
    {"LeadingSpace", "pkg-small.bin", [](std::string h) { return " " + h.substr(0, 63); }, 0, false},
    {"TrailingSpace", "pkg-small.bin", [](std::string h) { return h.substr(1) + " "; }, 0, false},
    {"Chars63", "pkg-small.bin", [](std::string h) { return h.substr(0, 63); }, 0, false},
    {"Empty", "pkg-small.bin", [](std::string) { return std::string(); }, 0, false},
    {"LastDigitWrong", "pkg-small.bin",
     [](std::string h) {
         if (h.size() == 64) h.back() = h.back() == '0' ? '1' : '0';
         return h;
     },
     0, false},
    {"SizeOneMore", "pkg-small.bin", [](std::string h) { return h; }, 1, false},
    {"SizeOneLess", "pkg-small.bin", [](std::string h) { return h; }, -1, false},
    {"ExactlyOneRead", "pkg-chunk.bin", [](std::string h) { return h; }, 0, true},
    {"SeveralReads", "pkg-multi.bin", Upper, 0, true},
};

INSTANTIATE_TEST_SUITE_P(Cases, PackageFile, ::testing::ValuesIn(PACKAGE_CASES),
                         [](const ::testing::TestParamInfo<PackageCase>& info) { return info.param.name; });

TEST(VerifyPackageFile, OneChangedByteFails) {
    std::string data = trusttest::ReadData("pkg-chunk.bin");
    std::string hex = trusttest::ReadData("pkg-chunk.bin.sha256");
    ASSERT_EQ(data.size(), 262144u);
    for (size_t at : {size_t(0), data.size() / 2, data.size() - 1}) {
        std::string changed = data;
        changed[at] ^= 0x01;
        std::wstring path = trusttest::ScratchFile(L"changed.bin", changed);
        EXPECT_FALSE(VerifyPackageFile(path.c_str(), Entry(hex, data.size()).get())) << at;
    }
    std::wstring same = trusttest::ScratchFile(L"same.bin", data);
    EXPECT_TRUE(VerifyPackageFile(same.c_str(), Entry(hex, data.size()).get()));
}

TEST(VerifyPackageFile, EmptyFileWithTheEmptyDigest) {
    std::wstring path = trusttest::ScratchFile(L"empty.bin", "");
    const char* emptyDigest = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
    EXPECT_TRUE(VerifyPackageFile(path.c_str(), Entry(emptyDigest, 0).get()));
}

TEST(VerifyPackageFile, MissingFileFailsAtTheSizeStep) {
    std::wstring path = trusttest::ScratchDir() + L"\\missing.zip";
    SetLastError(0);
    EXPECT_FALSE(VerifyPackageFile(path.c_str(), Entry(std::string(64, '0'), 1000).get()));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
}

TEST(VerifyPackageFile, WrongSizeIsNeverOpened) {
    // Held open without sharing: any open by the check would fail with a sharing violation.
    std::string data = trusttest::ReadData("pkg-small.bin");
    std::wstring path = trusttest::ScratchFile(L"held.bin", data);
    HANDLE holder = CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    SetLastError(0);
    EXPECT_FALSE(
        VerifyPackageFile(path.c_str(), Entry(trusttest::ReadData("pkg-small.bin.sha256"), 999).get()));
    EXPECT_NE(GetLastError(), (DWORD)ERROR_SHARING_VIOLATION);
    // With the right size the open is attempted and refused.
    EXPECT_FALSE(
        VerifyPackageFile(path.c_str(), Entry(trusttest::ReadData("pkg-small.bin.sha256"), 1000).get()));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SHARING_VIOLATION);
    CloseHandle(holder);
}

TEST(VerifyPackageFile, SharesReadingOnly) {
    std::string data = trusttest::ReadData("pkg-small.bin");
    std::string hex = trusttest::ReadData("pkg-small.bin.sha256");
    std::wstring path = trusttest::ScratchFile(L"shared.bin", data);
    HANDLE reader =
        CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(reader, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(VerifyPackageFile(path.c_str(), Entry(hex, data.size()).get()));
    CloseHandle(reader);
    HANDLE writer = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(VerifyPackageFile(path.c_str(), Entry(hex, data.size()).get()));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SHARING_VIOLATION);
    // Held past the retries: unreadable, not a mismatch; a set cancel flag ends the wait.
    EXPECT_EQ(PACKAGE_UNREADABLE, CheckPackageFile(path.c_str(), Entry(hex, data.size()).get(), nullptr));
    volatile LONG cancel = 1;
    DWORD start = GetTickCount();
    EXPECT_EQ(PACKAGE_UNREADABLE, CheckPackageFile(path.c_str(), Entry(hex, data.size()).get(), &cancel));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_CANCELLED);
    EXPECT_LT(GetTickCount() - start, 1000u) << "the wait did not see the cancel";
    CloseHandle(writer);
}

TEST(VerifyPackageFile, DirectoryFails) {
    std::wstring dir = trusttest::ScratchDir() + L"\\folder.zip";
    CreateDirectoryW(dir.c_str(), nullptr);
    EXPECT_FALSE(VerifyPackageFile(dir.c_str(), Entry(std::string(64, '0'), 0).get()));
    EXPECT_FALSE(VerifyPackageFile(dir.c_str(), Entry(std::string(64, '0'), 1).get()));
    RemoveDirectoryW(dir.c_str());
}

TEST(DigestMatchesHex, FoldsOnlyAtoF) {
    BYTE digest[32];
    for (int i = 0; i < 32; ++i)
        digest[i] = (BYTE)(i * 0x11 + 0x0A);
    std::string hex;
    const char* digits = "0123456789abcdef";
    for (BYTE b : digest) {
        hex += digits[b >> 4];
        hex += digits[b & 15];
    }
    struct {
        std::string text;
        bool matches;
    } cases[] = {
        {hex, true},
        {Upper(hex), true},
        {Mixed(hex), true},
        {hex.substr(0, 63), false},
        {hex + "0", false},
        {hex.substr(0, 63) + (hex[63] == 'f' ? "e" : "f"), false},
        // A compare that ignored bit 0x20 would take 0x10 for '0' and 'A' - 0x20 for 'a'.
        {"\x10" + hex.substr(1), false},
        {"0!" + hex.substr(2), false},
        {"0\xE1" + hex.substr(2), false},
        {std::string(64, 'g'), false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(DigestMatchesHex(digest, c.text.c_str()) != FALSE, c.matches) << c.text;
    EXPECT_FALSE(DigestMatchesHex(digest, nullptr));
}

} // namespace
