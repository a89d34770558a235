// tovpublish pack: the reproducible package zip of a folder.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cli_io.h"
#include "options.h"
#include "package.h"

namespace pub {

namespace {

const char kPackHelp[] =
    "usage: tovpublish pack --from DIR --out PACKAGE.zip [--force]\n"
    "\n"
    "Makes the package the installer unpacks: the files and folders of DIR go into the archive's\n"
    "top-level \"Payload\" folder. DIR must hold TOVKinemo.exe and tovkinemo.root (and should hold\n"
    "Assets/AppIcon.ico for the shortcut's icon). The archive is reproducible: entries sorted by\n"
    "name, files deflated at level 9, every time stamp 1980-01-01 00:00, DOS attributes; the same\n"
    "folder gives the same bytes on any machine with the same zlib. Refuses symbolic links, special\n"
    "files, names Windows cannot hold, and an output inside DIR. Notes non-ASCII names, which are\n"
    "not safe in a package for win7 (the Shell of Windows 7 and 8.1 unpacks them under other names).\n";

const char* const kValueOptions[] = {"--from", "--out", nullptr};
const char* const kFlagOptions[] = {"--force", nullptr};

int RunPack(const Args& args) {
    std::string fromDir, outPath, error, why;
    if (!Single(args, "--from", &fromDir, &error) || !Single(args, "--out", &outPath, &error))
        return UsageError("pack", error, kPackHelp);
    FILE* info = IsStdio(outPath) ? stderr : stdout;
    if (!IsStdio(outPath)) {
        char* from = ::realpath(fromDir.c_str(), nullptr);
        char* folder = ::realpath(ParentFolder(outPath).c_str(), nullptr);
        bool inside = false;
        if (from && folder) {
            std::string f = from, o = folder;
            inside = o == f || o.compare(0, f.size() + 1, f + "/") == 0;
        }
        std::free(from);
        std::free(folder);
        if (inside)
            return Refuse("pack", "the output " + outPath + " lies inside " + fromDir + ", which is packed");
        if (!CanCreate(outPath, args.force, &why))
            return Refuse("pack", why);
    }
    std::vector<PackEntry> entries;
    std::vector<std::string> problems;
    bool listed = ListPackageFolder(fromDir, &entries, &problems);
    for (const std::string& p : problems)
        std::fprintf(stderr, "refused: %s\n", p.c_str());
    if (!listed)
        return Refuse("pack", "nothing written");
    PackageReport report;
    for (const PackEntry& e : entries)
        AddPackageEntry(e.name, false, 8, &report);
    FinishPackageReport(&report);
    for (const std::string& w : report.warnings)
        std::fprintf(stderr, "warning: %s\n", w.c_str());
    // The channel is not known here: a note, which manifest and verify make a warning for win7.
    std::string names = NonAsciiNamesText(report);
    if (!names.empty())
        std::fprintf(stderr, "note: %s\n", names.c_str());
    if (!PackageUsable(report, &why))
        return Refuse("pack", "the package from " + fromDir + " cannot be installed: " + why);

    std::string temp =
        (IsStdio(outPath)
             ? std::string(std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp") + "/tovpublish-pack.zip"
             : outPath) +
        ".tmp-XXXXXX";
    std::vector<char> name(temp.begin(), temp.end());
    name.push_back('\0');
    int fd = ::mkstemp(name.data());
    if (fd < 0)
        return Refuse("pack", "cannot create " + outPath + ": " + std::strerror(errno));
    ::close(fd);
    temp = name.data();
    uint64_t size = 0;
    std::string sha256;
    bool ok = WritePackage(entries, temp, &error) && ::chmod(temp.c_str(), 0644) == 0 &&
              HashFile(temp, &size, &sha256, &error);
    if (ok && IsStdio(outPath)) {
        Bytes bytes;
        ok = ReadFileBytes(temp, &bytes, &error) && WriteStdout(bytes.data(), bytes.size(), &error);
        DiscardFile(temp);
    } else if (ok) {
        ok = CommitFile(temp, outPath, args.force, &error);
    } else {
        DiscardFile(temp);
    }
    if (!ok)
        return Refuse("pack", error);
    std::fprintf(info, "wrote %s: %zu entries, %llu bytes, sha256 %s\n", Shown(outPath), entries.size(),
                 static_cast<unsigned long long>(size), sha256.c_str());
    return 0;
}

} // namespace

extern const Command kPackCommand = {
    "pack",       "make a package zip from a folder of the application's files",
    kPackHelp,    kValueOptions,
    kFlagOptions, RunPack};

} // namespace pub
