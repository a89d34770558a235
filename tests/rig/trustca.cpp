// Adds a DER certificate to the current user's Root store of the tests' Wine prefix.
#include <windows.h>
#include <wincrypt.h>
#include <cstdio>
#include <vector>

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) {
        fwprintf(stderr, L"usage: trustca.exe CERT.der\n");
        return 64;
    }
    FILE* file = _wfopen(argv[1], L"rb");
    if (!file) return 2;
    std::vector<unsigned char> der;
    unsigned char chunk[4096];
    size_t got;
    while ((got = fread(chunk, 1, sizeof chunk, file)) > 0) der.insert(der.end(), chunk, chunk + got);
    fclose(file);
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, L"Root");
    if (!store) return 3;
    BOOL added = CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(), (DWORD)der.size(),
                                                  CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
    CertCloseStore(store, 0);
    return added ? 0 : 4;
}
