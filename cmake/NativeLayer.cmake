# Shared build rules: warnings for project code, sanitizers, fuzz targets, Node-API modules
# and their JavaScript tests.

# Warnings are errors in the test builds (tools/test turns NATIVE_WERROR on), never in a
# user's build, where a newer or older compiler may warn about code it cannot fault.
set(NATIVE_WARNINGS -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor)
if(NATIVE_WERROR)
  list(APPEND NATIVE_WARNINGS -Werror)
endif()

if(NATIVE_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
elseif(NATIVE_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(NOT NATIVE_SANITIZE STREQUAL "")
  message(FATAL_ERROR "NATIVE_SANITIZE must be empty, address or thread")
endif()

# Project code compiles warning-free; third-party headers are included as SYSTEM.
function(native_project_code target)
  target_compile_options(${target} PRIVATE ${NATIVE_WARNINGS})
endfunction()

# A GoogleTest executable registered with CTest. LABELS tsan also puts it in the thread
# sanitizer run.
function(native_gtest target)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${target} ${ARG_SOURCES})
  native_project_code(${target})
  target_link_libraries(${target} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gmock GTest::gtest_main)
  if(ARG_LABELS)
    gtest_discover_tests(${target} DISCOVERY_TIMEOUT 60 PROPERTIES LABELS "${ARG_LABELS}")
  else()
    gtest_discover_tests(${target} DISCOVERY_TIMEOUT 60)
  endif()
  if("tsan" IN_LIST ARG_LABELS)
    add_dependencies(tsan_tests ${target})
  endif()
endfunction()

# A libFuzzer target, built only in the fuzz build and run by CTest for a bounded time
# (label fuzz); any crash, leak, hang or sanitizer finding fails the test.
function(native_fuzz_target target)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  if(NOT NATIVE_FUZZ)
    return()
  endif()
  add_executable(${target} ${ARG_SOURCES})
  native_project_code(${target})
  target_compile_options(${target} PRIVATE -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all)
  target_link_options(${target} PRIVATE -fsanitize=fuzzer,address,undefined)
  target_link_libraries(${target} PRIVATE ${ARG_LIBS})
  add_dependencies(fuzzers ${target})
  set(corpus ${CMAKE_CURRENT_BINARY_DIR}/${target}_corpus)
  add_test(NAME ${target}
           COMMAND ${CMAKE_COMMAND} -E env ASAN_OPTIONS=detect_leaks=1
                   $<TARGET_FILE:${target}> -max_total_time=${NATIVE_FUZZ_SECONDS} -timeout=10
                   -rss_limit_mb=2048 -print_final_stats=1 ${corpus})
  set_tests_properties(${target} PROPERTIES LABELS fuzz TIMEOUT 600
                       FIXTURES_REQUIRED ${target}_corpus)
  add_test(NAME ${target}_corpus COMMAND ${CMAKE_COMMAND} -E make_directory ${corpus})
  set_tests_properties(${target}_corpus PROPERTIES LABELS fuzz FIXTURES_SETUP ${target}_corpus)
endfunction()

# Node-API plug-ins: node-addon-api and the Node-API headers come from npm (package.json);
# the package's install script passes where npm put them.
set(NODE_ADDON_API_DIR ${PROJECT_SOURCE_DIR}/node_modules/node-addon-api CACHE PATH
    "node-addon-api's include directory")
set(NODE_API_HEADERS_DIR ${PROJECT_SOURCE_DIR}/node_modules/node-api-headers/include CACHE PATH
    "The Node-API headers' include directory")
if(NOT EXISTS ${NODE_ADDON_API_DIR}/napi.h)
  message(FATAL_ERROR "node-addon-api is missing: run `npm ci` in ${PROJECT_SOURCE_DIR}")
endif()
find_program(NATIVE_NODE node REQUIRED)

function(native_node_addon target)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_library(${target} MODULE ${ARG_SOURCES})
  set_target_properties(${target} PROPERTIES PREFIX "" SUFFIX ".node")
  native_project_code(${target})
  target_include_directories(${target} SYSTEM PRIVATE ${NODE_ADDON_API_DIR} ${NODE_API_HEADERS_DIR})
  # A callback that reaches JavaScript while the environment is shutting down cannot throw
  # there; without the swallow option node-addon-api rethrows into C and ends the process.
  target_compile_definitions(${target} PRIVATE NAPI_VERSION=8 NAPI_CPP_EXCEPTIONS
                                               NODE_ADDON_API_DISABLE_DEPRECATED
                                               NODE_API_SWALLOW_UNTHROWABLE_EXCEPTIONS)
  if(APPLE)
    target_link_options(${target} PRIVATE -undefined dynamic_lookup)
  endif()
  target_link_libraries(${target} PRIVATE ${ARG_LIBS})
endfunction()

# A `node --test` script registered with CTest. ENV entries (NAME=value) reach the script,
# typically the built module's path as $<TARGET_FILE:...>. Node itself is not instrumented,
# so a sanitizer build preloads the runtime and leaves leak checking to the C++ tests.
function(native_node_test name)
  cmake_parse_arguments(ARG "" "SCRIPT" "ENV;LABELS;DEPENDS" ${ARGN})
  set(env ${ARG_ENV})
  if(NATIVE_SANITIZE STREQUAL "address")
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libasan.so
                    OUTPUT_VARIABLE asan_runtime OUTPUT_STRIP_TRAILING_WHITESPACE)
    list(APPEND env LD_PRELOAD=${asan_runtime} ASAN_OPTIONS=detect_leaks=0)
  endif()
  add_test(NAME ${name}
           COMMAND ${CMAKE_COMMAND} -E env ${env} ${NATIVE_NODE} --test ${ARG_SCRIPT})
  set_tests_properties(${name} PROPERTIES LABELS "node;${ARG_LABELS}")
endfunction()

# The six parts the npm package ships: `package_parts` builds them and
# `cmake --install <build> --component package` puts them side by side.
add_custom_target(package_parts)
function(native_package_part target)
  install(TARGETS ${target} LIBRARY DESTINATION . COMPONENT package
                            RUNTIME DESTINATION . COMPONENT package)
  add_dependencies(package_parts ${target})
endfunction()
