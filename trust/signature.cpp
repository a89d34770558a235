// Manifest signature check: RSASSA-PKCS1-v1_5 with SHA-256 over the raw manifest bytes, against the
// public key built into the program. Everything goes through CryptoAPI.
#include "trust/trust.h"
#include "support/libraries.h"

// Everything one verification obtains; released together, in reverse order of acquisition.
struct SignatureCheck {
    BYTE* keyDer;
    CERT_PUBLIC_KEY_INFO* keyInfo;
    BYTE* signature;
    DWORD signatureLength;
    HCRYPTPROV provider;
    HCRYPTKEY key;
    HCRYPTHASH hash;
};

// Decodes zero-terminated text with the given CRYPT_STRING_* format into a heap buffer: a size
// query first, then the decode into a buffer of that size.
static BOOL DecodeTextToHeap(const char* text, DWORD format, BYTE** output, DWORD* outputLength) {
    DWORD length = 0;
    if (!crypt32.stringToBinaryA(text, 0, format, nullptr, &length, nullptr, nullptr))
        return FALSE;
    BYTE* bytes = (BYTE*)HeapTake(length ? length : 1, FALSE);
    if (!bytes) {
        SetLastError(ERROR_OUTOFMEMORY);
        return FALSE;
    }
    *output = bytes;
    if (!crypt32.stringToBinaryA(text, 0, format, bytes, &length, nullptr, nullptr))
        return FALSE;
    *outputLength = length;
    return TRUE;
}

// CryptVerifySignatureW takes the signature least significant byte first; the file holds it in
// the big-endian order of PKCS #1.
static void ReverseBytes(BYTE* bytes, DWORD length) {
    if (length < 2)
        return;
    for (DWORD i = 0, j = length - 1; i < j; ++i, --j) {
        BYTE swap = bytes[i];
        bytes[i] = bytes[j];
        bytes[j] = swap;
    }
}

// The verification steps; the first failure stops them. Release is left to the caller.
static BOOL RunSignatureCheck(SignatureCheck* check, const char* publicKeyPem, const BYTE* manifest,
                              UINT32 manifestLength, const char* signatureText) {
    if (!LoadCrypt32())
        return FALSE;
    DWORD derLength = 0;
    if (!DecodeTextToHeap(publicKeyPem, CRYPT_STRING_BASE64HEADER, &check->keyDer, &derLength))
        return FALSE;

    DWORD keyInfoLength = 0;
    if (!crypt32.decodeObjectEx(X509_ASN_ENCODING, X509_PUBLIC_KEY_INFO, check->keyDer, derLength,
                                CRYPT_DECODE_ALLOC_FLAG, nullptr, &check->keyInfo, &keyInfoLength))
        return FALSE;

    if (!DecodeTextToHeap(signatureText, CRYPT_STRING_BASE64_ANY, &check->signature, &check->signatureLength))
        return FALSE;

    if (!CryptAcquireContextW(&check->provider, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT))
        return FALSE;
    if (!crypt32.importPublicKeyInfo(check->provider, X509_ASN_ENCODING, check->keyInfo, &check->key))
        return FALSE;
    if (!CryptCreateHash(check->provider, CALG_SHA_256, 0, 0, &check->hash))
        return FALSE;
    // The bytes exactly as obtained: no line-end conversion, no trimming, no byte-order mark removal.
    static const BYTE NO_BYTES[1] = {0};
    if (!CryptHashData(check->hash, manifest ? manifest : NO_BYTES, manifestLength, 0))
        return FALSE;

    ReverseBytes(check->signature, check->signatureLength);
    return CryptVerifySignatureW(check->hash, check->signature, check->signatureLength, check->key, nullptr,
                                 0);
}

static void ReleaseSignatureCheck(SignatureCheck* check) {
    if (check->hash)
        CryptDestroyHash(check->hash);
    if (check->key)
        CryptDestroyKey(check->key);
    if (check->provider)
        CryptReleaseContext(check->provider, 0);
    HeapRelease(check->signature);
    if (check->keyInfo)
        LocalFree(check->keyInfo);
    HeapRelease(check->keyDer);
}

BOOL VerifySignatureWithKey(const char* publicKeyPem, const BYTE* manifest, UINT32 manifestLength,
                            const char* signatureText) {
    if (!publicKeyPem || !signatureText || (!manifest && manifestLength != 0))
        return FALSE;
    SignatureCheck check;
    MemoryZero(&check, sizeof(check));
    BOOL verified = RunSignatureCheck(&check, publicKeyPem, manifest, manifestLength, signatureText);
    ReleaseSignatureCheck(&check);
    return verified ? TRUE : FALSE;
}

BOOL VerifyManifestSignature(const BYTE* manifest, UINT32 manifestLength, const char* signatureText) {
    return VerifySignatureWithKey(MANIFEST_PUBLIC_KEY, manifest, manifestLength, signatureText);
}
