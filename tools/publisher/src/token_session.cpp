#include <dlfcn.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "token_session.h"

namespace pub {

namespace {

bool Fail(std::string* error, const std::string& text) {
    *error = text;
    return false;
}

// A blank-padded text field of the token's information, without the padding.
std::string Trimmed(const unsigned char* text, size_t size) {
    std::string s(reinterpret_cast<const char*>(text), size);
    size_t end = s.find_last_not_of(' ');
    return end == std::string::npos ? std::string() : s.substr(0, end + 1);
}

// The PIN, from exactly one place: --pin-env, the URI's pin-value or pin-source=file:PATH, else
// one question on the terminal. A token with its own PIN pad (protected path) takes none.
struct Pin {
    std::string text;
    bool given = false;
    ~Pin() { OPENSSL_cleanse(&text[0], text.size()); }
};

bool ReadPin(const TokenOptions& options, const TokenSession& s, bool pinPad, Pin* pin, std::string* error) {
    const char* uriPin = p11_kit_uri_get_pin_value(s.uri);
    const char* source = p11_kit_uri_get_pin_source(s.uri);
    if (!options.pinEnv.empty() + (uriPin != nullptr) + (source != nullptr) > 1)
        return Fail(error, "give the PIN one way only: --pin-env, or pin-value or pin-source in the URI");
    pin->given = true;
    if (!options.pinEnv.empty()) {
        const char* env = std::getenv(options.pinEnv.c_str());
        if (!env)
            return Fail(error, "the environment variable " + options.pinEnv + " (--pin-env) is not set");
        pin->text = env;
        return true;
    }
    if (uriPin) {
        pin->text = uriPin;
        return true;
    }
    if (source) {
        std::string path = source;
        if (path.rfind("file://", 0) == 0)
            path.erase(0, 7);
        else if (path.rfind("file:", 0) == 0)
            path.erase(0, 5);
        else if (path.find(':') != std::string::npos && path.find(':') < path.find('/'))
            return Fail(error, "the URI's pin-source must be file:PATH");
        Bytes bytes;
        if (!ReadFileBytes(path, &bytes, error))
            return false;
        // The first line is the PIN, as with the passphrase file.
        pin->text.assign(bytes.begin(), bytes.end());
        OPENSSL_cleanse(bytes.data(), bytes.size());
        size_t eol = pin->text.find_first_of("\r\n");
        if (eol != std::string::npos)
            pin->text.resize(eol);
        return true;
    }
    pin->given = false;
    if (pinPad)
        return true;
    if (!options.mayPrompt)
        return Fail(error, "the token '" + s.token +
                               "' needs a PIN: give --pin-env NAME, or pin-source=file:PATH in the URI");
    std::vector<char> typed(256, '\0');
    std::string prompt = "PIN of the token '" + s.token + "': ";
    bool ok = EVP_read_pw_string(typed.data(), static_cast<int>(typed.size()), prompt.c_str(), 0) == 0;
    pin->text = typed.data();
    OPENSSL_cleanse(typed.data(), typed.size());
    if (!ok)
        return Fail(error, "no PIN was typed for the token '" + s.token + "'");
    pin->given = true;
    return true;
}

bool LogIn(const TokenOptions& options, TokenSession* s, const CK_TOKEN_INFO& info, std::string* error) {
    if (info.flags & CKF_USER_PIN_LOCKED)
        return Fail(error, "the user PIN of the token '" + s->token +
                               "' is locked; its security officer must reset it");
    Pin pin;
    if (!ReadPin(options, *s, (info.flags & CKF_PROTECTED_AUTHENTICATION_PATH) != 0, &pin, error))
        return false;
    CK_UTF8CHAR_PTR text = pin.given ? reinterpret_cast<CK_UTF8CHAR_PTR>(&pin.text[0]) : nullptr;
    CK_RV rv = s->f->C_Login(s->session, CKU_USER, text, pin.given ? pin.text.size() : 0);
    if (rv == CKR_OK || rv == CKR_USER_ALREADY_LOGGED_IN) {
        s->loggedIn = rv == CKR_OK;
        return true;
    }
    if (rv == CKR_PIN_INCORRECT || rv == CKR_PIN_INVALID || rv == CKR_PIN_LEN_RANGE)
        return Fail(error, "wrong PIN for the token '" + s->token + "' (" + CkrText(rv) +
                               "); not tried again, since tokens lock after a few wrong PINs");
    if (rv == CKR_PIN_LOCKED)
        return Fail(error, "the user PIN of the token '" + s->token +
                               "' is locked; its security officer must reset it");
    return Fail(error, "cannot log in to the token '" + s->token + "': " + CkrText(rv));
}

bool LoadModule(TokenSession* s, std::string* error) {
    s->library = ::dlopen(s->module.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!s->library) {
        const char* why = ::dlerror();
        return Fail(error,
                    "the PKCS#11 module " + s->module + " does not load: " + (why ? why : "unknown reason"));
    }
    CK_C_GetFunctionList get =
        reinterpret_cast<CK_C_GetFunctionList>(::dlsym(s->library, "C_GetFunctionList"));
    if (!get || get(&s->f) != CKR_OK || !s->f)
        return Fail(error, s->module + " is not a PKCS#11 module (it has no C_GetFunctionList)");
    CK_RV rv = s->f->C_Initialize(nullptr);
    if (rv != CKR_OK && rv != CKR_CRYPTOKI_ALREADY_INITIALIZED)
        return Fail(error, "the PKCS#11 module " + s->module + " does not start: " + CkrText(rv));
    s->initialized = rv == CKR_OK;
    CK_INFO info;
    if (s->f->C_GetInfo(&info) == CKR_OK && !p11_kit_uri_match_module_info(s->uri, &info))
        return Fail(error, "the module " + s->module + " is not the library that " + s->shownUri + " names");
    return true;
}

// The one slot whose token the URI names.
bool FindToken(TokenSession* s, CK_SLOT_ID* slot, CK_TOKEN_INFO* info, std::string* error) {
    CK_ULONG n = 0;
    CK_RV rv = s->f->C_GetSlotList(CK_TRUE, nullptr, &n);
    std::vector<CK_SLOT_ID> slots(n);
    if (rv == CKR_OK && n)
        rv = s->f->C_GetSlotList(CK_TRUE, slots.data(), &n);
    if (rv != CKR_OK)
        return Fail(error, "the module " + s->module + " lists no slots: " + CkrText(rv));
    slots.resize(n);
    std::string present, matching;
    int matches = 0;
    CK_SLOT_ID wantedSlot = p11_kit_uri_get_slot_id(s->uri);
    for (CK_SLOT_ID id : slots) {
        CK_SLOT_INFO slotInfo;
        CK_TOKEN_INFO tokenInfo;
        // A token not yet initialised holds no keys (SoftHSM always shows one).
        if (s->f->C_GetSlotInfo(id, &slotInfo) != CKR_OK || s->f->C_GetTokenInfo(id, &tokenInfo) != CKR_OK ||
            !(tokenInfo.flags & CKF_TOKEN_INITIALIZED))
            continue;
        std::string label = "'" + Trimmed(tokenInfo.label, sizeof(tokenInfo.label)) + "'";
        present += (present.empty() ? "" : ", ") + label;
        if ((wantedSlot != static_cast<CK_SLOT_ID>(-1) && wantedSlot != id) ||
            !p11_kit_uri_match_slot_info(s->uri, &slotInfo) ||
            !p11_kit_uri_match_token_info(s->uri, &tokenInfo))
            continue;
        matching += (matching.empty() ? "" : ", ") + label;
        ++matches;
        *slot = id;
        *info = tokenInfo;
    }
    if (matches == 0)
        return Fail(error, "no token matches " + s->shownUri + " in the module " + s->module +
                               " (tokens present: " + (present.empty() ? "none" : present) + ")");
    if (matches > 1)
        return Fail(error, std::to_string(matches) + " tokens match " + s->shownUri + " (" + matching +
                               "); name one with token= or serial=");
    s->token = Trimmed(info->label, sizeof(info->label));
    return true;
}

} // namespace

TokenSession::~TokenSession() {
    if (loggedIn)
        f->C_Logout(session);
    if (session != CK_INVALID_HANDLE)
        f->C_CloseSession(session);
    if (initialized)
        f->C_Finalize(nullptr);
    if (library)
        ::dlclose(library);
    if (uri)
        p11_kit_uri_free(uri);
}

bool OpenTokenSession(const TokenOptions& options, bool readWrite, TokenSession* s, std::string* error) {
    s->shownUri = UriWithoutPin(options.uri);
    s->uri = p11_kit_uri_new();
    int parsed = p11_kit_uri_parse(options.uri.c_str(), P11_KIT_URI_FOR_ANY, s->uri);
    if (parsed != P11_KIT_URI_OK)
        return Fail(error, s->shownUri + " is not a PKCS#11 URI: " + p11_kit_uri_message(parsed));
    // An attribute the parser does not know would otherwise be ignored, so that a misspelt one
    // would widen the match.
    if (p11_kit_uri_any_unrecognized(s->uri))
        return Fail(error, s->shownUri + " has an attribute that is not one of RFC 7512's");
    s->module = ChooseModule(options.module, std::getenv("TOV_PKCS11_MODULE"));
    const char* uriModule = p11_kit_uri_get_module_path(s->uri);
    if (uriModule && s->module != uriModule)
        return Fail(error, "the URI names the module " + std::string(uriModule) + ", not " + s->module +
                               "; give it with --pkcs11-module");
    if (!LoadModule(s, error))
        return false;
    CK_SLOT_ID slot = 0;
    CK_TOKEN_INFO info;
    if (!FindToken(s, &slot, &info, error))
        return false;
    CK_FLAGS flags = CKF_SERIAL_SESSION | (readWrite ? CKF_RW_SESSION : 0);
    CK_RV rv = s->f->C_OpenSession(slot, flags, nullptr, nullptr, &s->session);
    if (rv != CKR_OK) {
        s->session = CK_INVALID_HANDLE;
        return Fail(error, "cannot open a session with the token '" + s->token + "': " + CkrText(rv));
    }
    if (!(info.flags & CKF_LOGIN_REQUIRED))
        return true;
    return LogIn(options, s, info, error);
}

bool FindObjects(TokenSession* s, std::vector<CK_ATTRIBUTE> match, std::vector<CK_OBJECT_HANDLE>* found,
                 std::string* error) {
    found->clear();
    CK_RV rv = s->f->C_FindObjectsInit(s->session, match.data(), match.size());
    if (rv != CKR_OK)
        return Fail(error, "cannot search the token '" + s->token + "': " + CkrText(rv));
    CK_OBJECT_HANDLE batch[16];
    CK_ULONG n = 0;
    while ((rv = s->f->C_FindObjects(s->session, batch, 16, &n)) == CKR_OK && n > 0)
        found->insert(found->end(), batch, batch + n);
    s->f->C_FindObjectsFinal(s->session);
    if (rv != CKR_OK)
        return Fail(error, "cannot search the token '" + s->token + "': " + CkrText(rv));
    return true;
}

bool ReadAttribute(TokenSession* s, CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type, Bytes* out) {
    CK_ATTRIBUTE attribute = {type, nullptr, 0};
    if (s->f->C_GetAttributeValue(s->session, object, &attribute, 1) != CKR_OK ||
        attribute.ulValueLen == CK_UNAVAILABLE_INFORMATION)
        return false;
    out->assign(attribute.ulValueLen, 0);
    attribute.pValue = out->data();
    return s->f->C_GetAttributeValue(s->session, object, &attribute, 1) == CKR_OK;
}

std::string CkrText(CK_RV rv) {
    static const struct {
        CK_RV rv;
        const char* name;
    } kNames[] = {
        {CKR_ARGUMENTS_BAD, "CKR_ARGUMENTS_BAD"},
        {CKR_ATTRIBUTE_VALUE_INVALID, "CKR_ATTRIBUTE_VALUE_INVALID"},
        {CKR_DEVICE_ERROR, "CKR_DEVICE_ERROR"},
        {CKR_DEVICE_MEMORY, "CKR_DEVICE_MEMORY"},
        {CKR_DEVICE_REMOVED, "CKR_DEVICE_REMOVED"},
        {CKR_FUNCTION_FAILED, "CKR_FUNCTION_FAILED"},
        {CKR_GENERAL_ERROR, "CKR_GENERAL_ERROR"},
        {CKR_KEY_FUNCTION_NOT_PERMITTED, "CKR_KEY_FUNCTION_NOT_PERMITTED"},
        {CKR_KEY_SIZE_RANGE, "CKR_KEY_SIZE_RANGE"},
        {CKR_KEY_TYPE_INCONSISTENT, "CKR_KEY_TYPE_INCONSISTENT"},
        {CKR_MECHANISM_INVALID, "CKR_MECHANISM_INVALID"},
        {CKR_PIN_INCORRECT, "CKR_PIN_INCORRECT"},
        {CKR_PIN_INVALID, "CKR_PIN_INVALID"},
        {CKR_PIN_LEN_RANGE, "CKR_PIN_LEN_RANGE"},
        {CKR_PIN_LOCKED, "CKR_PIN_LOCKED"},
        {CKR_SESSION_READ_ONLY, "CKR_SESSION_READ_ONLY"},
        {CKR_TEMPLATE_INCONSISTENT, "CKR_TEMPLATE_INCONSISTENT"},
        {CKR_TOKEN_NOT_PRESENT, "CKR_TOKEN_NOT_PRESENT"},
        {CKR_TOKEN_WRITE_PROTECTED, "CKR_TOKEN_WRITE_PROTECTED"},
        {CKR_USER_NOT_LOGGED_IN, "CKR_USER_NOT_LOGGED_IN"},
    };
    for (const auto& n : kNames)
        if (n.rv == rv)
            return n.name;
    char hex[32];
    std::snprintf(hex, sizeof(hex), "CKR 0x%lx", static_cast<unsigned long>(rv));
    return hex;
}

} // namespace pub
