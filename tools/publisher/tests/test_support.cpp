#include "test_support.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <zip.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace pubtest {

std::string RepoPath(const std::string& relative) { return std::string(PUBLISHER_REPO_ROOT) + "/" + relative; }

std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void WriteText(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tovpublish-test-XXXXXX").string();
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data())) ADD_FAILURE() << "mkdtemp failed";
    path = buf.data();
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
}

void MakeZip(const std::string& path, const std::vector<std::pair<std::string, std::string>>& entries) {
    int err = 0;
    zip_t* z = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &err);
    ASSERT_NE(z, nullptr) << "zip_open " << err;
    for (const auto& e : entries) {
        if (!e.first.empty() && e.first.back() == '/') {
            ASSERT_GE(zip_dir_add(z, e.first.substr(0, e.first.size() - 1).c_str(), ZIP_FL_ENC_UTF_8), 0);
            continue;
        }
        // libzip reads the source at close time, so the bytes must outlive this loop.
        char* copy = static_cast<char*>(std::malloc(e.second.size() + 1));
        std::copy(e.second.begin(), e.second.end(), copy);
        zip_source_t* src = zip_source_buffer(z, copy, e.second.size(), 1);
        ASSERT_NE(src, nullptr);
        ASSERT_GE(zip_file_add(z, e.first.c_str(), src, ZIP_FL_ENC_UTF_8), 0);
    }
    ASSERT_EQ(zip_close(z), 0);
}

std::string DevPrivatePem() { return ReadText(RepoPath("tests/keys/TEST-ONLY-dev-manifest-private.pem")); }
std::string DevPublicPem() { return ReadText(RepoPath("trust/dev-manifest-public.pem")); }
std::string OtherPrivatePem() { return ReadText(RepoPath("tests/keys/TEST-ONLY-other-private.pem")); }

std::string SignText(const std::string& manifest, const std::string& privatePem) {
    pub::Bytes sig;
    std::string error;
    EXPECT_TRUE(pub::SignBytes(privatePem, reinterpret_cast<const unsigned char*>(manifest.data()), manifest.size(),
                               &sig, &error))
        << error;
    return pub::EncodeBase64(sig.data(), sig.size()) + "\n";
}

int RunTool(const std::vector<std::string>& args, std::string* output, bool stdoutOnly, const std::string& stdinPath) {
    std::string command = std::string("'") + TOVPUBLISH_PATH + "'";
    for (const std::string& a : args) {
        std::string quoted;
        for (char c : a) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
        command += " '" + quoted + "'";
    }
    command += stdoutOnly ? " 2>/dev/null" : " 2>&1";
    command += " <'" + (stdinPath.empty() ? std::string("/dev/null") : stdinPath) + "'";
    FILE* p = popen(command.c_str(), "r");
    if (!p) return -1;
    output->clear();
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof(buf), p)) > 0) output->append(buf, n);
    int status = pclose(p);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace pubtest
