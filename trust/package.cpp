// Package hash check: a file is the announced package only when its size and its SHA-256 digest
// both match the manifest entry. The size is compared first so that a wrong file is never read.
#include "trust/trust.h"
#include "download/download.h"
#include <wincrypt.h>

static const UINT32 DIGEST_SIZE = 32;
static const UINT32 DIGEST_HEX_LENGTH = 64;

BOOL DigestMatchesHex(const BYTE digest[32], const char* hexText) {
    static const char HEX_DIGITS[] = "0123456789ABCDEF";
    if (!digest || !hexText)
        return FALSE;
    // Count at most one character past the expected length, so an unterminated text is not run over.
    UINT32 length = 0;
    while (length <= DIGEST_HEX_LENGTH && hexText[length])
        ++length;
    if (length != DIGEST_HEX_LENGTH)
        return FALSE;
    for (UINT32 i = 0; i < DIGEST_SIZE; ++i) {
        char high = hexText[2 * i];
        char low = hexText[2 * i + 1];
        // Only a to f are folded; any other character is compared as it is.
        if (high >= 'a' && high <= 'f')
            high = (char)(high - 'a' + 'A');
        if (low >= 'a' && low <= 'f')
            low = (char)(low - 'a' + 'A');
        if (high != HEX_DIGITS[digest[i] >> 4] || low != HEX_DIGITS[digest[i] & 0x0F])
            return FALSE;
    }
    return TRUE;
}

// Streams the open file through SHA-256. Returns TRUE with the digest; on failure the failing
// call's code (or ERROR_OUTOFMEMORY) is the last-error value. Every acquired object is released
// before returning: buffer, hash, context (the caller closes the file).
static BOOL HashOpenFile(HANDLE file, BYTE digest[32]) {
    BYTE* buffer = (BYTE*)HeapTake(IO_CHUNK_SIZE, FALSE);
    if (!buffer)
        return FailWith(ERROR_OUTOFMEMORY);
    BOOL obtained = FALSE;
    PackageHash state;
    if (BeginPackageHash(&state)) {
        for (;;) {
            DWORD bytesRead = 0;
            if (!ReadFile(file, buffer, IO_CHUNK_SIZE, &bytesRead, nullptr))
                break;
            if (bytesRead == 0) {
                obtained = FinishPackageHash(&state, digest);
                break;
            }
            if (!AddPackageHashData(&state, buffer, bytesRead))
                break;
        }
        EndPackageHash(&state);
    }
    DWORD code = GetLastError();
    HeapRelease(buffer);
    SetLastError(code);
    return obtained;
}

BOOL BeginPackageHash(PackageHash* state) {
    MemoryZero(state, sizeof(*state));
    HCRYPTPROV provider = 0;
    HCRYPTHASH hash = 0;
    if (!CryptAcquireContextW(&provider, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT))
        return FALSE;
    if (!CryptCreateHash(provider, CALG_SHA_256, 0, 0, &hash)) {
        DWORD code = GetLastError();
        CryptReleaseContext(provider, 0);
        return FailWith(code);
    }
    state->provider = provider;
    state->hash = hash;
    return TRUE;
}

BOOL AddPackageHashData(PackageHash* state, const BYTE* data, DWORD length) {
    if (!CryptHashData((HCRYPTHASH)state->hash, data, length, 0))
        return FALSE;
    state->hashedBytes += length;
    return TRUE;
}

BOOL FinishPackageHash(PackageHash* state, BYTE digest[32]) {
    DWORD digestLength = DIGEST_SIZE;
    return CryptGetHashParam((HCRYPTHASH)state->hash, HP_HASHVAL, digest, &digestLength, 0) &&
           digestLength == DIGEST_SIZE;
}

void EndPackageHash(PackageHash* state) {
    DWORD code = GetLastError();
    if (state->hash)
        CryptDestroyHash((HCRYPTHASH)state->hash);
    if (state->provider)
        CryptReleaseContext((HCRYPTPROV)state->provider, 0);
    state->hash = 0;
    state->provider = 0;
    SetLastError(code);
}

BOOL StreamedPackageMatches(const BYTE digest[32], UINT64 hashedBytes, UINT64 fileSize,
                            const ManifestEntry* entry) {
    // The bytes hashed are the bytes written: both counts must be the package size.
    if (!digest || !entry || hashedBytes != entry->sizeBytes || fileSize != entry->sizeBytes)
        return FALSE;
    return DigestMatchesHex(digest, entry->sha256);
}

PackageCheck CheckPackageFile(const WCHAR* path, const ManifestEntry* entry, volatile LONG* cancelFlag) {
    if (!path || !entry)
        return PACKAGE_DIFFERS;
    if (QueryFileSize(path) != entry->sizeBytes)
        return PACKAGE_DIFFERS;

    // Read sharing only: nobody may open the file for writing while it is being hashed. A scanner that
    // holds the file just written is waited for a moment.
    HANDLE file = OpenFileWhileHeld(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, cancelFlag);
    if (file == INVALID_HANDLE_VALUE)
        return PACKAGE_UNREADABLE;
    BYTE digest[DIGEST_SIZE];
    BOOL obtained = HashOpenFile(file, digest);
    DWORD code = GetLastError();
    CloseHandle(file);
    SetLastError(code);
    if (!obtained)
        return PACKAGE_UNREADABLE;
    return DigestMatchesHex(digest, entry->sha256) ? PACKAGE_MATCHES : PACKAGE_DIFFERS;
}

BOOL VerifyPackageFile(const WCHAR* path, const ManifestEntry* entry) {
    return CheckPackageFile(path, entry, nullptr) == PACKAGE_MATCHES;
}
