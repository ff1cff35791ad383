# Third-party libraries, all from Debian. Natively they come from -dev packages; for the MinGW tree
# libyaml is built from Debian's source tarball, which scripts/setup fetches into .cache/deps.

set(BRIMORA_DEPS_DIR "${PROJECT_SOURCE_DIR}/.cache/deps" CACHE PATH "Where scripts/setup keeps fetched sources")

# GoogleTest: natively the build Debian ships (libgtest-dev); the MinGW tree builds it from
# Debian's source package with its own compiler, at -O1 like the tests.
if(WIN32)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest "${PROJECT_BINARY_DIR}/googletest" EXCLUDE_FROM_ALL)
  target_compile_options(gtest PRIVATE ${BRIMORA_TEST_CODE_FLAGS})
  target_compile_options(gtest_main PRIVATE ${BRIMORA_TEST_CODE_FLAGS})
  # The Win32 threading model's libstdc++ (GCC 12) lacks what one class of GoogleTest is built on;
  # tests/support/gtest_notification.hpp brings it.
  target_compile_options(gtest PUBLIC "$<$<COMPILE_LANGUAGE:CXX>:SHELL:-include ${PROJECT_SOURCE_DIR}/tests/support/gtest_notification.hpp>")
  target_sources(gtest PRIVATE "${PROJECT_SOURCE_DIR}/tests/support/gtest_notification.cpp")
elseif(BRIMORA_TESTS)
  find_package(GTest REQUIRED)
endif()

# nlohmann/json: header-only. Its CMake config would add -isystem /usr/include, which pulls the
# host's C library headers into the MinGW build, so only its own directory is copied into the tree.
set(BRIMORA_JSON_INCLUDE "${PROJECT_BINARY_DIR}/deps/json/include")
file(COPY /usr/include/nlohmann DESTINATION "${BRIMORA_JSON_INCLUDE}")
add_library(brimora_json INTERFACE)
target_include_directories(brimora_json SYSTEM INTERFACE "${BRIMORA_JSON_INCLUDE}")

# The fuzz tree builds libyaml from the same source with coverage instrumentation and ASan, so the
# fuzzer is guided through the scanner and parser as well and their memory errors are caught.
# (UBSan stays off there: a finding inside third-party code would stop every run of our targets.)
if(WIN32)
  # MinSizeRel with each function in its own section, so the exe's --gc-sections drops the
  # emitter and the other parts of libyaml the manifest reader never calls. Without unwind tables:
  # GNU ld (2.40) keeps every function that has a .pdata entry, so with them nothing is dropped,
  # and C code that never throws has nothing to unwind.
  # Its folder inside the build tree is mapped away as in our own code (a repeatable release), and
  # its compile commands are kept for the release's build record.
  set(BRIMORA_LIBYAML_BUILD_ARGS -DCMAKE_TOOLCHAIN_FILE=${CMAKE_TOOLCHAIN_FILE} -DCMAKE_BUILD_TYPE=MinSizeRel
    "-DCMAKE_C_FLAGS=-ffunction-sections -fdata-sections -fno-asynchronous-unwind-tables -ffile-prefix-map=${PROJECT_BINARY_DIR}/="
    -DCMAKE_EXPORT_COMPILE_COMMANDS=ON)
elseif(BRIMORA_FUZZ)
  set(BRIMORA_LIBYAML_BUILD_ARGS -DCMAKE_C_COMPILER=${CMAKE_C_COMPILER}
    -DCMAKE_BUILD_TYPE=Release "-DCMAKE_C_FLAGS=-fsanitize=fuzzer-no-link,address -fno-omit-frame-pointer -g")
endif()

if(WIN32 OR BRIMORA_FUZZ)
  include(ExternalProject)
  set(BRIMORA_LIBYAML_TARBALL "${BRIMORA_DEPS_DIR}/libyaml_0.2.5.orig.tar.gz")
  if(NOT EXISTS "${BRIMORA_LIBYAML_TARBALL}")
    message(FATAL_ERROR "${BRIMORA_LIBYAML_TARBALL} is missing: run scripts/setup first")
  endif()
  set(yaml_prefix "${PROJECT_BINARY_DIR}/deps/libyaml")
  set(yaml_library "${yaml_prefix}/lib/libyaml.a")
  ExternalProject_Add(libyaml_build
    URL "${BRIMORA_LIBYAML_TARBALL}"
    URL_HASH SHA256=fa240dbf262be053f3898006d502d514936c818e422afdcf33921c63bed9bf2e
    DOWNLOAD_EXTRACT_TIMESTAMP ON
    CMAKE_ARGS
      ${BRIMORA_LIBYAML_BUILD_ARGS}
      -DCMAKE_INSTALL_PREFIX=${yaml_prefix}
      -DBUILD_SHARED_LIBS=OFF
      -DBUILD_TESTING=OFF
    BUILD_BYPRODUCTS "${yaml_library}")
  file(MAKE_DIRECTORY "${yaml_prefix}/include")
  add_library(brimora_yaml STATIC IMPORTED GLOBAL)
  set_target_properties(brimora_yaml PROPERTIES
    IMPORTED_LOCATION "${yaml_library}"
    INTERFACE_INCLUDE_DIRECTORIES "${yaml_prefix}/include"
    INTERFACE_COMPILE_DEFINITIONS YAML_DECLARE_STATIC)
  add_dependencies(brimora_yaml libyaml_build)
else()
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(YAML REQUIRED IMPORTED_TARGET yaml-0.1)
  add_library(brimora_yaml INTERFACE)
  target_link_libraries(brimora_yaml INTERFACE PkgConfig::YAML)
endif()
if(NOT WIN32)
  find_package(OpenSSL REQUIRED COMPONENTS Crypto)
endif()
