// LaunchApplication with the payload program installed under either executable name: the program's own
// record shows which one started and in which working directory.
#include "install/install.h"
#include "install_test_support.h"

#include <gtest/gtest.h>
#include <objbase.h>

#include <string>
#include <vector>

namespace {

enum Presence { Missing, AsFile, AsDirectory };

struct LaunchCase {
    const char* label;
    Presence kinemo, pikora;
    const wchar_t* expectedExe; // null: nothing may start
};

std::vector<std::wstring> RecordLines(const std::wstring& record) {
    std::string bytes;
    std::vector<std::wstring> lines;
    if (!ReadBytes(record, &bytes))
        return lines;
    std::wstring text = Utf8ToWide(bytes);
    size_t start = 0, end;
    while ((end = text.find(L"\r\n", start)) != std::wstring::npos) {
        lines.push_back(text.substr(start, end - start));
        start = end + 2;
    }
    return lines;
}

// The payload program runs on its own; wait for its record, without a bound tighter than a slow Wine start.
std::vector<std::wstring> WaitForRecord(const std::wstring& record) {
    for (int i = 0; i < 600; ++i) {
        std::vector<std::wstring> lines = RecordLines(record);
        if (!lines.empty())
            return lines;
        Sleep(50);
    }
    return {};
}

TEST(Launch, StartsTheRightProgramInTheInstallDirectory) {
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    std::string program;
    ASSERT_TRUE(ReadBytes(Join(TestBinDir(), L"payload-app.exe"), &program));
    const LaunchCase cases[] = {
        {"both present: TOVKinemo.exe wins", AsFile, AsFile, L"TOVKinemo.exe"},
        {"only TOVKinemo.exe", AsFile, Missing, L"TOVKinemo.exe"},
        {"only the sibling", Missing, AsFile, L"PikoraSTM32F103.exe"},
        {"a directory named TOVKinemo.exe yields to the sibling", AsDirectory, AsFile,
         L"PikoraSTM32F103.exe"},
        {"neither present", Missing, Missing, nullptr},
        {"directories only", AsDirectory, AsDirectory, nullptr},
    };
    // Started from elsewhere, so the working directory can only come from the launch.
    std::wstring elsewhere = FreshDir(L"elsewhere");
    ASSERT_TRUE(SetCurrentDirectoryW(elsewhere.c_str()));
    for (const LaunchCase& c : cases) {
        SCOPED_TRACE(c.label);
        std::wstring dir = FreshDir(L"launch dir");
        const std::pair<Presence, const wchar_t*> entries[] = {{c.kinemo, L"TOVKinemo.exe"},
                                                               {c.pikora, L"PikoraSTM32F103.exe"}};
        for (const auto& entry : entries) {
            if (entry.first == AsFile) {
                ASSERT_TRUE(WriteBytes(Join(dir, entry.second), program));
            } else if (entry.first == AsDirectory) {
                ASSERT_TRUE(MakeDirs(Join(dir, entry.second)));
            }
        }
        std::wstring record = Join(dir, L"launch-record.txt");

        SetLastError(0);
        BOOL ok = LaunchApplication(dir.c_str());
        if (!c.expectedExe) {
            EXPECT_FALSE(ok);
            EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
            continue;
        }
        ASSERT_TRUE(ok) << GetLastError();
        std::vector<std::wstring> lines = WaitForRecord(record);
        ASSERT_EQ(lines.size(), 1u) << "exactly one program starts";
        std::wstring line = lines[0];
        size_t bar = line.find(L'|');
        ASSERT_NE(bar, std::wstring::npos);
        EXPECT_EQ(line.substr(0, bar), dir) << WideToUtf8(line);
        std::wstring commandLine = line.substr(bar + 1);
        EXPECT_NE(commandLine.find(Join(dir, c.expectedExe)), std::wstring::npos) << WideToUtf8(commandLine);
    }
    SetCurrentDirectoryW(TestBinDir().c_str());
    CoUninitialize();
}

TEST(Launch, CandidateThatDoesNotFitIsNeverCut) {
    // 240: "TOVKinemo.exe" fits and is missing, the sibling's name does not fit; 246: neither fits.
    for (size_t length : {240, 246}) {
        std::wstring dir = L"C:\\" + std::wstring(length - 3, L'd');
        SetLastError(0);
        EXPECT_FALSE(LaunchApplication(dir.c_str())) << length;
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILENAME_EXCED_RANGE) << length;
    }
}

} // namespace
