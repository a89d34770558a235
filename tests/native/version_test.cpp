// The installed version against the offered one: the comparison and the refusal, from values.
#include <gtest/gtest.h>
#include <string>

#include "job/version.h"

namespace {

struct VersionRow {
    const char* name;
    std::string record;  // current-version.txt as read
    const char* offered; // the manifest's latestVersion
    int allowDowngrade;
    VersionOrder order; // of the trimmed record against the offered version
    bool refused;
    const char* shown; // the installed version named in the refusal
};

const VersionRow ROWS[] = {
    {"newer installed", "2.2.0", "2.1.0", 0, VERSION_NEWER, true, "2.2.0"},
    {"numeric parts", "2.9.0", "2.10.0", 0, VERSION_OLDER, false, "2.9.0"},
    {"longer installed", "2.1.0.1", "2.1", 0, VERSION_NEWER, true, "2.1.0.1"},
    {"missing parts count 0", "2.1", "2.1.0.0", 0, VERSION_EQUAL, false, "2.1"},
    {"leading zeros", "02.010.0", "2.10", 0, VERSION_EQUAL, false, "02.010.0"},
    {"BOM and whitespace", "\xEF\xBB\xBF \t2.2.0\r\n", "2.1.0", 0, VERSION_NEWER, true, "2.2.0"},
    {"allowed downgrade", "2.2.0", "2.1.0", 1, VERSION_NEWER, false, "2.2.0"},
    {"beyond 64 bits, longer", "1.123456789012345678901", "1.99999999999999999999", 0, VERSION_NEWER, true,
     "1.123456789012345678901"},
    {"beyond 64 bits, same length", "1.99999999999999999998", "1.099999999999999999999", 0, VERSION_OLDER,
     false, "1.99999999999999999998"},
    {"record not a version", "2.2.0-beta", "2.1.0", 0, VERSION_NOT_COMPARABLE, false, "2.2.0-beta"},
    {"offered not a version", "2.2.0", "v2.1.0", 0, VERSION_NOT_COMPARABLE, false, "2.2.0"},
    {"empty record", " \r\n", "2.1.0", 0, VERSION_NOT_COMPARABLE, false, ""},
    {"trailing dot", "2.2.", "2.1", 0, VERSION_NOT_COMPARABLE, false, "2.2."},
    {"double dot", "3..1", "2.1", 0, VERSION_NOT_COMPARABLE, false, "3..1"},
    {"BOM not at the start",
     " \xEF\xBB\xBF"
     "3.1",
     "2.1", 0, VERSION_NOT_COMPARABLE, false,
     "\xEF\xBB\xBF"
     "3.1"},
    {"record too long", std::string(VERSION_RECORD_CAPACITY - 3, ' ') + "9.0\n", "2.1", 0, VERSION_NEWER,
     false, ""},
    {"record at the limit", std::string(VERSION_RECORD_CAPACITY - 3, ' ') + "9.0", "2.1", 0, VERSION_NEWER,
     true, "9.0"},
};

TEST(InstalledVersion, ComparedAndRefused) {
    for (const VersionRow& row : ROWS) {
        SCOPED_TRACE(row.name);
        size_t start = 0, length = 0;
        TrimVersionRecord(row.record.data(), row.record.size(), &start, &length);
        std::string offered = row.offered;
        const char* installed = row.record.data() + start;
        EXPECT_EQ(row.order, CompareVersions(installed, length, offered.data(), offered.size()));
        // The comparison is antisymmetric.
        if (row.order != VERSION_NOT_COMPARABLE) {
            EXPECT_EQ(-row.order, CompareVersions(offered.data(), offered.size(), installed, length));
        }
        int refused = RefusesDowngrade(row.record.data(), row.record.size(), offered.data(), offered.size(),
                                       row.allowDowngrade, &start, &length);
        EXPECT_EQ(row.refused, refused != 0);
        EXPECT_EQ(row.shown, row.record.substr(start, length));
    }
}

} // namespace
