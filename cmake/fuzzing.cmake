# libFuzzer targets (-DFUZZ=ON, clang): one executable per parser, beside the
# program it fuzzes (sensor/fuzz, platform/com/fuzz, controller/fuzz); each
# links the library that holds the parser, nothing else. Seeds live in the
# folder's corpus/<target name without "fuzz_">. The executables land in
# <build>/fuzz/, where scripts/fuzz.sh runs them.
if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  message(FATAL_ERROR "FUZZ=ON needs clang (e.g. -DCMAKE_CXX_COMPILER=clang++-14)")
endif()

add_custom_target(fuzz_targets)

function(fuzz_target name)
  cmake_parse_arguments(F "" "" "LIBS" ${ARGN})
  add_executable(fuzz_${name} fuzz_${name}.cpp)
  target_include_directories(fuzz_${name} PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
  target_link_libraries(fuzz_${name} PRIVATE ${F_LIBS})
  target_link_options(fuzz_${name} PRIVATE -fsanitize=fuzzer)
  set_target_properties(fuzz_${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/fuzz)
  add_dependencies(fuzz_targets fuzz_${name})
endfunction()
