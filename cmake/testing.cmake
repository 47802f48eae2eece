# Test labels:
#   unit    - no privileges needed; also run under AddressSanitizer/UndefinedBehaviorSanitizer
#   kernel  - needs root and kernel features; runs inside private namespaces
#   vm      - runs inside the qemu guest
#   tsan    - run in the ThreadSanitizer build
enable_testing()
include(GoogleTest)

# Every program that a test labelled "unit" runs: build only these with
# "cmake --build <dir> --target unit-tests" (the cross build does).
add_custom_target(unit-tests)

function(_project_unit_test_programs test)
  get_test_property(${test} LABELS labels)
  if("unit" IN_LIST labels)
    add_dependencies(unit-tests ${ARGN})
  endif()
endfunction()

# Tests that hand a program of this build to a host script
# (python3 test.py $<TARGET_FILE:probe>) get the program's path; in a cross
# build that path is a small native program that runs it under the emulator,
# as CTest itself does for tests whose command is a target, and passes on the
# argv[0] it was given (qemu user mode's -0).
function(add_test)
  set(args)
  set(programs)
  foreach(arg IN LISTS ARGV)
    if(arg MATCHES "^\\$<TARGET_FILE:([A-Za-z0-9_.+-]+)>$")
      list(APPEND programs ${CMAKE_MATCH_1})
      if(CMAKE_CROSSCOMPILING AND CMAKE_CROSSCOMPILING_EMULATOR)
        set(wrapper ${CMAKE_BINARY_DIR}/emulated/${CMAKE_MATCH_1})
        get_property(done GLOBAL PROPERTY _project_emulated_${CMAKE_MATCH_1})
        if(NOT done)
          set_property(GLOBAL PROPERTY _project_emulated_${CMAKE_MATCH_1} TRUE)
          list(GET CMAKE_CROSSCOMPILING_EMULATOR 0 emulator)
          add_custom_command(OUTPUT ${wrapper}
            COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/emulated
            COMMAND cc -O2 -Wall -Wextra -Werror "-DEMULATOR=\"${emulator}\""
                    "-DPROGRAM=\"${arg}\"" ${PROJECT_SOURCE_DIR}/cmake/emulator_runner.c
                    -o ${wrapper}
            DEPENDS ${PROJECT_SOURCE_DIR}/cmake/emulator_runner.c VERBATIM)
          add_custom_target(emulated_${CMAKE_MATCH_1} ALL DEPENDS ${wrapper})
          add_dependencies(unit-tests emulated_${CMAKE_MATCH_1})
        endif()
        set(arg ${wrapper})
      endif()
    endif()
    list(APPEND args "${arg}")
  endforeach()
  _add_test(${args})
  if(ARGV0 STREQUAL "NAME" AND programs)
    # Labels are set after add_test; look at them when the folder is done.
    # (Deferred arguments are read when the call runs, so spell them out.)
    list(JOIN programs " " programs)
    cmake_language(EVAL CODE
      "cmake_language(DEFER CALL _project_unit_test_programs [[${ARGV1}]] ${programs})")
  endif()
endfunction()

# project_unit_test(<name> SOURCES ... LIBS ... [LABELS ...])
# A GoogleTest binary whose cases are registered one by one.
function(project_unit_test name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  add_dependencies(unit-tests ${name})
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
