// One logged-in session with the token that a pkcs11: URI names, through the module's own
// function list (p11-kit's copy of the standard PKCS#11 header, and its RFC 7512 URI parser).
// Include this header after every other: the standard header's compatibility names define macros
// such as "value" and "count".
#pragma once

#include <string>
#include <vector>

#include "files.h"
#include "token.h"

#include <p11-kit/pkcs11.h>
#include <p11-kit/uri.h>

namespace pub {

struct TokenSession {
    void* library = nullptr;
    CK_FUNCTION_LIST_PTR f = nullptr;
    bool initialized = false; // C_Initialize done here, so C_Finalize is due
    CK_SESSION_HANDLE session = CK_INVALID_HANDLE;
    bool loggedIn = false;
    P11KitUri* uri = nullptr;
    std::string shownUri; // without PIN attributes
    std::string module;
    std::string token; // label of the token in use
    TokenSession() = default;
    TokenSession(const TokenSession&) = delete;
    TokenSession& operator=(const TokenSession&) = delete;
    ~TokenSession();
};

// Parses the URI, loads the module, finds the one token the URI names, opens a session (read-write
// when asked) and logs in with the PIN the options lead to. False with a message that names what
// was not found; the PIN is in no message.
bool OpenTokenSession(const TokenOptions& options, bool readWrite, TokenSession* s, std::string* error);

// The handles of the session's objects that have all the given attributes.
bool FindObjects(TokenSession* s, std::vector<CK_ATTRIBUTE> match, std::vector<CK_OBJECT_HANDLE>* found,
                 std::string* error);

// One attribute's bytes; false when the object does not show it.
bool ReadAttribute(TokenSession* s, CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type, Bytes* out);

// The name of a PKCS#11 return value, such as "CKR_PIN_INCORRECT".
std::string CkrText(CK_RV rv);

} // namespace pub
