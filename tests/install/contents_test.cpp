// The package's table of contents read from package files, and the CRC-32 it lists.
#include "install/contents.h"
#include "install_test_support.h"
#include "zip_builder.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

namespace {

const std::string EXE = "MZ stand-in executable", ICON = "icon";

// One listed entry as the table shows it: "path:size:crc" for a file, "path\" for a folder.
std::wstring Listed(const std::wstring& path, const std::string& data, uint64_t size = 0) {
    uLong crc = crc32(0, (const Bytef*)data.data(), (uInt)data.size());
    return path + L":" + std::to_wstring(size ? size : data.size()) + L":" + std::to_wstring(crc) + L" ";
}

std::wstring Listing(const PayloadContents& contents) {
    std::wstring text;
    for (UINT32 i = 0; i < contents.count; ++i) {
        const PayloadEntry& e = contents.entries[i];
        text += e.folder ? std::wstring(e.path) + L"\\ "
                         : std::wstring(e.path) + L":" + std::to_wstring(e.size) + L":" +
                               std::to_wstring(e.crc32) + L" ";
    }
    return text;
}

// A package as the publisher packs it, with a root file outside Payload/, and what it lists.
ZipSpec Package(std::vector<ZipEntrySpec> more = {}, const std::string& payload = "Payload/") {
    ZipSpec spec{{ZipFile(payload, ""), ZipFile(payload + "TOVKinemo.exe", EXE),
                  ZipFile(payload + "tovkinemo.root", ""), ZipFile(payload + "Assets/", ""),
                  ZipFile(payload + "Assets/AppIcon.ico", ICON), ZipFile("readme.txt", "outside")}};
    spec.entries.insert(spec.entries.end(), more.begin(), more.end());
    return spec;
}
const std::wstring STANDARD = Listed(L"TOVKinemo.exe", EXE) + Listed(L"tovkinemo.root", "") + L"Assets\\ " +
                              Listed(L"Assets\\AppIcon.ico", ICON);

ZipSpec Each(ZipSpec spec, const std::function<void(ZipEntrySpec&)>& change) {
    for (ZipEntrySpec& e : spec.entries)
        change(e);
    return spec;
}

template <typename T, typename Change> T With(T value, Change change) {
    change(value);
    return value;
}

// Patches of the built bytes: the end record's fields, the zip64 end record's, the first entry's.
size_t EndRecord(const std::string& zip) {
    return zip.rfind("PK\x05\x06");
}
std::function<void(std::string*)> PatchEnd(size_t field, uint64_t delta, int size) {
    return [=](std::string* zip) {
        Put(zip, EndRecord(*zip) + field, Get(*zip, EndRecord(*zip) + field, size) + delta, size);
    };
}
std::function<void(std::string*)> PatchZip64(size_t field, uint64_t value) {
    return [=](std::string* zip) { Put(zip, Get(*zip, EndRecord(*zip) - 12, 8) + field, value, 8); };
}
std::function<void(std::string*)> PatchFirstEntry(size_t field, uint64_t value, int size) {
    return [=](std::string* zip) { Put(zip, zip->find("PK\x01\x02") + field, value, size); };
}

struct ContentsCase {
    const char* name;
    ZipSpec zip;
    std::wstring listing; // empty: refused with ERROR_BAD_FORMAT
    bool unsafe;
    std::function<void(std::string*)> patch = nullptr;
};

ZipSpec Zip64(ZipSpec spec) {
    spec.zip64End = true;
    return Each(spec, [](ZipEntrySpec& e) { e.zip64 = true; });
}
ZipSpec Unsafe(const std::string& name) {
    return Package({ZipFile(name, "x")});
}
const std::string OTHER_EXTRAS =
    ExtraField(0x5455, std::string(5, '\1')) + ExtraField(0x000A, std::string(32, '\0'));

const ContentsCase CONTENTS_CASES[] = {
    {"Standard", Package(), STANDARD, false},
    {"Utf8Names", Package({ZipFile("Payload/\xE8\xAF\xB4\xE6\x98\x8E/\xE5\xAE\x89\xE8\xA3\x85.txt", "zh")}),
     STANDARD + Listed(L"\x8BF4\x660E\\\x5B89\x88C5.txt", "zh"), false},
    {"Cp437Names", Package({ZipFile("Payload/\x80\xE1\xFF.txt", "c", 0)}),
     STANDARD + Listed(L"\xC7\xDF\xA0.txt", "c"), false},
    {"BackslashNames", Package({ZipFile("Payload\\sub\\a.txt", "a")}), STANDARD + Listed(L"sub\\a.txt", "a"),
     false},
    {"NestedFoldersLowerCase",
     Package({ZipFile("payload/a/", ""), ZipFile("PAYLOAD/a/b/c.txt", "abc")}, "payload/"),
     STANDARD + L"a\\ " + Listed(L"a\\b\\c.txt", "abc"), false},
    {"FolderAttributes",
     Package({With(ZipFile("Payload/dos", ""), [](ZipEntrySpec& e) { e.external = 0x10; }),
              With(ZipFile("Payload/unix", ""),
                   [](ZipEntrySpec& e) { e.madeBy = 0x314, e.external = 040755u << 16; })}),
     STANDARD + L"dos\\ unix\\ ", false},
    {"Zip64Everywhere", Zip64(Package()), STANDARD, false},
    {"SizeOver4GiB",
     Package({With(ZipFile("Payload/big.bin", "data"), [](ZipEntrySpec& e) { e.claimedSize = 5ull << 30; })}),
     STANDARD + Listed(L"big.bin", "data", 5ull << 30), false},
    {"OtherExtraFields", Each(Zip64(Package()), [](ZipEntrySpec& e) { e.extra = OTHER_EXTRAS; }), STANDARD,
     false},
    {"DataDescriptors", Each(Package(), [](ZipEntrySpec& e) { e.flags |= 8; }), STANDARD, false},
    {"LongestCommentHoldingASignature",
     With(Package(), [](ZipSpec& s) { s.comment = "PK\x05\x06" + std::string(65531, 'c'); }), STANDARD,
     false},
    {"PathOf259", Package({ZipFile("Payload/" + std::string(259, 'n'), "n")}),
     STANDARD + Listed(std::wstring(259, L'n'), "n"), false},
    // Names that leave the folder or cannot be held: left out, the package marked.
    {"DotDot", Unsafe("Payload/../evil.txt"), STANDARD, true},
    {"Drive", Unsafe("Payload/C:/evil.txt"), STANDARD, true},
    {"DriveBeforePayload", Unsafe("C:Payload/evil.txt"), STANDARD, true},
    {"LeadingSlash", Unsafe("/Payload/evil.txt"), STANDARD, true},
    {"EmptyPart", Unsafe("Payload/a//b.txt"), STANDARD, true},
    {"DeviceName", Unsafe("Payload/Nul.txt"), STANDARD, true},
    {"Stream", Unsafe("Payload/a.txt:hidden"), STANDARD, true},
    {"PathOf260", Unsafe("Payload/" + std::string(260, 'n')), STANDARD, true},
    {"BrokenUtf8", Unsafe("Payload/\xC0\xAF.txt"), STANDARD, true},
    {"UnsafeOutsidePayloadIgnored", Unsafe("../evil.txt"), STANDARD, false},
    // Refused.
    {"NothingBelowPayload", ZipSpec{{ZipFile("Payload/", ""), ZipFile("readme.txt", "x")}}, L"", false},
    {"OnlyUnsafeBelowPayload", ZipSpec{{ZipFile("Payload/../x", "x")}}, L"", false},
    {"NoEndRecord", Package(), L"", false, [](std::string* zip) { zip->resize(zip->size() - 1); }},
    {"CountTooHigh", Package(), L"", false, PatchEnd(8, 0x10001, 4)},
    {"CountTooLow", Package(), L"", false, PatchEnd(8, 0xFFFEFFFF, 4)},
    {"DirectoryCut", Package(), L"", false, PatchEnd(12, 0xFFFFFFFF, 4)},
    {"DirectoryOverlapsEndRecord", Package(), L"", false, PatchEnd(12, 1, 4)},
    {"DirectoryOffsetOutside", Package(), L"", false, PatchEnd(16, 1000000, 4)},
    {"SecondDisk", Package(), L"", false, PatchEnd(4, 1, 2)},
    {"LocalHeaderOutside", Package(), L"", false, PatchFirstEntry(42, 0xFFFFFF, 4)},
    {"NamePastDirectory", Package(), L"", false, PatchFirstEntry(28, 4000, 2)},
    {"Zip64FieldTooShort", Zip64(Package()), L"", false, PatchFirstEntry(46 + 8 + 2, 8, 2)},
    {"Zip64CountHuge", Zip64(Package()), L"", false,
     [](std::string* zip) {
         PatchZip64(24, 1ull << 40)(zip);
         PatchZip64(32, 1ull << 40)(zip);
     }},
    {"Zip64OffsetOutside", Zip64(Package()), L"", false, PatchZip64(48, 1ull << 33)},
    {"Zip64RecordOutside", Zip64(Package()), L"", false, PatchEnd(-12, 1ull << 33, 8)},
};

void PrintTo(const ContentsCase& c, std::ostream* out) {
    *out << c.name;
}

class PackageContents : public ::testing::TestWithParam<ContentsCase> {};

TEST_P(PackageContents, ListsOrRefuses) {
    const ContentsCase& c = GetParam();
    std::string zip = BuildZip(c.zip);
    if (c.patch)
        c.patch(&zip);
    std::wstring path = Join(FreshDir(L"contents"), L"package.zip");
    ASSERT_TRUE(WriteBytes(path, zip));
    PayloadContents contents;
    BOOL read = ReadPackageContents(path.c_str(), &contents);
    DWORD code = GetLastError();
    EXPECT_EQ(!!read, !c.listing.empty()) << "code " << code;
    if (read) {
        EXPECT_EQ(Listing(contents), c.listing);
        EXPECT_EQ(!!contents.unsafe, c.unsafe);
    } else {
        EXPECT_EQ(code, (DWORD)ERROR_BAD_FORMAT);
        EXPECT_EQ(contents.entries, nullptr);
    }
    ReleasePackageContents(&contents);
}

INSTANTIATE_TEST_SUITE_P(Zips, PackageContents, ::testing::ValuesIn(CONTENTS_CASES),
                         [](const ::testing::TestParamInfo<ContentsCase>& info) { return info.param.name; });

// Names without bit 11 as a system with the given OEM code page reads them.
struct NameCase {
    UINT codePage;
    std::string name;
    EntryNameKind kind;
    std::wstring path; // when listed
};
std::string Repeat(const std::string& text, int count) {
    std::string out;
    while (count-- > 0)
        out += text;
    return out;
}
const std::string SHU = "\xCA\xFD"; // U+6570 in code page 936
const NameCase NAME_CASES[] = {
    {936, "Payload/\xCA\xFD\xBE\xDD/\xCB\xB5\xC3\xF7.txt", ENTRY_LISTED, L"\x6570\x636E\\\x8BF4\x660E.txt"},
    {936, "Payload/\x81\x5C.txt", ENTRY_LISTED, L"\x4E57.txt"}, // a trail byte that alone reads as '\'
    {437, "Payload/" + SHU + ".txt", ENTRY_LISTED, L"\x2569\xB2.txt"},
    {936, "Payload/" + Repeat(SHU, 259), ENTRY_LISTED, std::wstring(259, L'\x6570')},
    {936, "Payload/" + Repeat(SHU, 300), ENTRY_UNSAFE, L""},
    {936, "Payload/a\xFF.txt", ENTRY_UNSAFE, L""},
    {936, "Payload/\x81", ENTRY_UNSAFE, L""},
    {936, "readme\x81.txt", ENTRY_IGNORED, L""},
};

TEST(EntryNames, AsTheSystemsShellReadsThem) {
    for (const NameCase& c : NAME_CASES) {
        WCHAR path[PATH_CAPACITY];
        BOOL folder;
        EntryNameKind kind =
            ClassifyEntryName((const BYTE*)c.name.data(), (UINT32)c.name.size(), c.codePage, path, &folder);
        EXPECT_EQ(kind, c.kind) << c.name;
        EXPECT_EQ(kind == ENTRY_LISTED ? std::wstring(path) : L"", c.path) << c.name;
    }
}

TEST(PackageContentsFile, MissingOrEmptyFile) {
    std::wstring dir = FreshDir(L"contents-file");
    PayloadContents contents;
    EXPECT_FALSE(ReadPackageContents(Join(dir, L"missing.zip").c_str(), &contents));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
    ASSERT_TRUE(WriteBytes(Join(dir, L"empty.zip"), ""));
    EXPECT_FALSE(ReadPackageContents(Join(dir, L"empty.zip").c_str(), &contents));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_BAD_FORMAT);
}

TEST(Crc32, KnownValues) {
    const std::pair<std::string, UINT32> cases[] = {
        {"", 0},
        {"a", 0xE8B7BE43},
        {"123456789", 0xCBF43926},
        {"The quick brown fox jumps over the lazy dog", 0x414FA339}};
    for (const auto& c : cases)
        EXPECT_EQ(Crc32Update(0, (const BYTE*)c.first.data(), c.first.size()), c.second) << c.first;
}

// Every start alignment, lengths around the folding steps, fed whole and in uneven pieces.
TEST(Crc32, LongBuffersMatchZlibInAnyPieces) {
    std::string data(1 << 20, '\0');
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = (char)((i * 2654435761u) >> 13);
    const size_t lengths[] = {0, 1, 15, 63, 64, 255, 256, 257, 1000, 4096 + 7, 65536 + 33, (1 << 20) - 16};
    for (size_t start = 0; start < 16; ++start)
        for (size_t length : lengths) {
            length = std::min(length, data.size() - start);
            const BYTE* bytes = (const BYTE*)data.data() + start;
            UINT32 expected = (UINT32)crc32(0, bytes, (uInt)length), pieces = 0;
            for (size_t at = 0, piece = 1; at < length; at += piece, piece = piece * 3 + start)
                pieces = Crc32Update(pieces, bytes + at, std::min(piece, length - at));
            EXPECT_EQ(Crc32Update(0, bytes, length), expected) << start << " " << length;
            EXPECT_EQ(pieces, expected) << start << " " << length;
        }
}

} // namespace
