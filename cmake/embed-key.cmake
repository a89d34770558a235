# Turns the PEM public key file into a C++ source that defines MANIFEST_PUBLIC_KEY.
set(TOV_DEV_KEY_FILE "${CMAKE_CURRENT_SOURCE_DIR}/trust/dev-manifest-public.pem")
if(NOT EXISTS "${TOV_MANIFEST_PUBLIC_KEY_FILE}")
    message(FATAL_ERROR "Manifest public key not found: ${TOV_MANIFEST_PUBLIC_KEY_FILE}")
endif()
file(READ "${TOV_MANIFEST_PUBLIC_KEY_FILE}" TOV_KEY_PEM)
file(READ "${TOV_DEV_KEY_FILE}" TOV_DEV_KEY_PEM)
string(LENGTH "${TOV_KEY_PEM}" TOV_KEY_LENGTH)
if(NOT TOV_KEY_LENGTH EQUAL 625)
    message(FATAL_ERROR "The manifest public key must be the 625-character PEM form of a 3072-bit RSA key "
        "(BEGIN line, 8 lines of 64 and one of 52 base64 characters, END line, LF endings); "
        "${TOV_MANIFEST_PUBLIC_KEY_FILE} has ${TOV_KEY_LENGTH} characters.")
endif()
if(CMAKE_BUILD_TYPE STREQUAL "Release" AND TOV_KEY_PEM STREQUAL TOV_DEV_KEY_PEM AND NOT TOV_ALLOW_DEV_KEY_IN_RELEASE)
    message(FATAL_ERROR "A Release build must embed the vendor's manifest public key: set "
        "TOV_MANIFEST_PUBLIC_KEY_FILE to it (the default file is the development test key). "
        "Pass -DTOV_ALLOW_DEV_KEY_IN_RELEASE=ON only for a test release.")
endif()
string(REPLACE "\n" "\\n" TOV_KEY_ESCAPED "${TOV_KEY_PEM}")
set(TOV_KEY_SOURCE "${CMAKE_BINARY_DIR}/generated/manifest_key.cpp")
file(CONFIGURE OUTPUT "${TOV_KEY_SOURCE}" CONTENT
"// Generated from the configured manifest key file; do not edit.
#include \"trust/trust.h\"
extern const char MANIFEST_PUBLIC_KEY[] = \"${TOV_KEY_ESCAPED}\";
" @ONLY)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${TOV_MANIFEST_PUBLIC_KEY_FILE}")
