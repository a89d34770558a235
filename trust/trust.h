// Manifest and trust: the manifest reader, the signature check and the package hash check.
#pragma once

#include "support/support.h"

struct ManifestEntry {
    char latestVersion[32];
    char url[2048];
    WCHAR urlWide[2048];
    char sha256[65];
    UINT64 sizeBytes;
    // The channel's "reuse": true (the literal only): an upgrade may build the package from bytes the
    // machine already has.
    BOOL reuse;
    // The top-level "allowDowngrade": true (the JSON literal): the vendor lets this version replace a
    // newer installation. Anything else, or no such member, allows no downgrade.
    BOOL allowDowngrade;
};

// Scanners over [start, end); they never read at or past end. "None" is null.
const char* FindObjectEnd(const char* start, const char* end);
const char* FindKeyValue(const char* objectStart, const char* objectEnd, const char* key);
BOOL ReadStringValue(const char* objectStart, const char* objectEnd, const char* key, char* buffer,
                     UINT32 capacity);
BOOL HasHttpsPrefix(const WCHAR* text);
BOOL ReadManifest(const char* bytes, UINT32 length, const char* channel, ManifestEntry* entry);

// The vendor's public key in PEM form, built in at compile time.
extern const char MANIFEST_PUBLIC_KEY[];
BOOL VerifyManifestSignature(const BYTE* manifest, UINT32 manifestLength, const char* signatureText);
// Same check against a given PEM key (the built-in one is passed by VerifyManifestSignature).
BOOL VerifySignatureWithKey(const char* publicKeyPem, const BYTE* manifest, UINT32 manifestLength,
                            const char* signatureText);

// Digest against a 64-character hex text, letters in either case.
BOOL DigestMatchesHex(const BYTE digest[32], const char* hexText);
BOOL VerifyPackageFile(const WCHAR* path, const ManifestEntry* entry);
// The same check with its two kinds of "no" told apart: PACKAGE_DIFFERS when the size or the digest is not
// the entry's (a missing file too); PACKAGE_UNREADABLE, with the platform's code, when the file could not
// be read (still held by another process after the retries, CryptoAPI or memory failing), which says
// nothing about its content. A set cancelFlag (may be null) ends the open's retries with ERROR_CANCELLED.
enum PackageCheck { PACKAGE_MATCHES, PACKAGE_DIFFERS, PACKAGE_UNREADABLE };
PackageCheck CheckPackageFile(const WCHAR* path, const ManifestEntry* entry, volatile LONG* cancelFlag);

// A SHA-256 fed with the package's bytes in order while they are written, so that the fresh download
// is checked without reading it again. Handles are kept as ULONG_PTR (HCRYPTPROV, HCRYPTHASH).
struct PackageHash {
    ULONG_PTR provider;
    ULONG_PTR hash;
    UINT64 hashedBytes;
};
BOOL BeginPackageHash(PackageHash* state);
BOOL AddPackageHashData(PackageHash* state, const BYTE* data, DWORD length);
BOOL FinishPackageHash(PackageHash* state, BYTE digest[32]);
// Releases whatever Begin acquired; keeps the last-error value.
void EndPackageHash(PackageHash* state);
// TRUE when the bytes hashed and the file on disk both have the package size and the digest matches.
BOOL StreamedPackageMatches(const BYTE digest[32], UINT64 hashedBytes, UINT64 fileSize,
                            const ManifestEntry* entry);
