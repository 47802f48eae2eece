# Every dependency comes from a Debian package (scripts/setup.sh installs them).
find_package(PkgConfig REQUIRED)
find_package(Threads REQUIRED)

pkg_check_modules(PCAP REQUIRED IMPORTED_TARGET libpcap)
pkg_check_modules(LIBNL REQUIRED IMPORTED_TARGET libnl-3.0 libnl-nf-3.0)
pkg_check_modules(LIBMOUNT REQUIRED IMPORTED_TARGET mount)
pkg_check_modules(LIBSYSTEMD REQUIRED IMPORTED_TARGET libsystemd)
find_package(nlohmann_json 3 REQUIRED)
find_package(RapidJSON REQUIRED)
if(NOT TARGET rapidjson)
  add_library(rapidjson INTERFACE IMPORTED)
  set_target_properties(rapidjson PROPERTIES INTERFACE_INCLUDE_DIRECTORIES "${RapidJSON_INCLUDE_DIRS}")
endif()

# Debian's mbed TLS ships no pkg-config or CMake files.
find_path(MBEDTLS_INCLUDE_DIR mbedtls/pk.h REQUIRED)
find_library(MBEDCRYPTO_LIBRARY mbedcrypto REQUIRED)
add_library(mbedcrypto INTERFACE IMPORTED)
set_target_properties(mbedcrypto PROPERTIES
  INTERFACE_INCLUDE_DIRECTORIES "${MBEDTLS_INCLUDE_DIR}"
  INTERFACE_LINK_LIBRARIES "${MBEDCRYPTO_LIBRARY}")

find_package(GTest REQUIRED)
