# Test labels:
#   unit    - no privileges needed; also run under AddressSanitizer/UndefinedBehaviorSanitizer
#   kernel  - needs root and kernel features; runs inside private namespaces
#   vm      - runs inside the qemu guest
#   tsan    - run in the ThreadSanitizer build
enable_testing()
include(GoogleTest)

# project_unit_test(<name> SOURCES ... LIBS ... [LABELS ...])
# A GoogleTest binary whose cases are registered one by one.
function(project_unit_test name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gmock GTest::gtest_main Threads::Threads)
  if(NOT T_LABELS)
    set(T_LABELS unit)
  endif()
  # One registration per label: a label list does not survive the discovery
  # script, and a case that belongs to two runs (e.g. unit and tsan) is then
  # selected by either label.
  list(GET T_LABELS 0 first)
  foreach(label IN LISTS T_LABELS)
    if(label STREQUAL first)
      gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST PROPERTIES LABELS ${label})
    else()
      gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST TEST_PREFIX "${label}."
                           PROPERTIES LABELS ${label})
    endif()
  endforeach()
endfunction()

# project_namespace_test(<name> COMMAND ... [LABELS ...])
# A test that needs root: it runs in private network, mount and UTS namespaces
# so that it never touches the host's network, mounts or host name.
function(project_namespace_test name)
  cmake_parse_arguments(T "" "" "COMMAND;LABELS" ${ARGN})
  if(NOT T_LABELS)
    set(T_LABELS kernel)
  endif()
  add_test(NAME ${name}
           COMMAND unshare -n -m -u --propagation private ${T_COMMAND})
  set_tests_properties(${name} PROPERTIES LABELS "${T_LABELS}")
endfunction()

# project_vm_suite(): checks that run inside a qemu guest (tools/vm/README.md)
include(${CMAKE_SOURCE_DIR}/tools/vm/vm.cmake OPTIONAL)
