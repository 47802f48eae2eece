# Guest test suites: each suite boots one qemu guest that runs a folder of
# check scripts; every script becomes one CTest test. See tools/vm/README.md.
#
# project_vm_suite(<suite>
#   CHECKS <folder>            # *.sh scripts, run in name order inside the guest
#   [PREPARE <host script>]    # run on the host with the staged guest root
#   [FILES <host>=<guest> ...] # files/folders to ship; generator expressions
#                              # work: $<TARGET_FILE:quillon>=/usr/bin/quillon
#   [PROGRAMS <name|path> ...] # host programs shipped with their libraries
#   [MODULES <module> ...]     # extra kernel modules (dependencies follow)
#   [APPEND <text> ...]        # extra kernel command line
#   [KERNEL_CONFIG <fragment>] # boot a kernel built from Debian's source with
#                              # this fragment on top of defconfig (no modules)
#   [TIMEOUT <seconds>]        # whole guest, default 600
#   [CHECK_TIMEOUT <seconds>]  # one check, default 300
#   [MEMORY <MiB>]             # guest memory, default 512
#   [DEPENDS <target> ...]     # targets whose files are shipped (documentation
#                              # of intent; tests run after the build anyway)
#   [ARCH amd64|arm64])        # guest architecture; default: the build's own
#
# Tests: vm.<suite> boots the guest (fixture), vm.<suite>.<check> report the
# checks. All carry the label "vm". With KERNEL_CONFIG, vm.kernel.<fragment
# name> builds that kernel first (once per source version and fragment; the
# cache is outside the build tree, see kernel_build.py).
set(PROJECT_VM_DIR ${CMAKE_CURRENT_LIST_DIR})
set(PROJECT_IMAGE_BUILDER ${CMAKE_CURRENT_LIST_DIR}/../image-builder/image_builder.py)
set(PROJECT_VM_CACHE ${CMAKE_BINARY_DIR}/vm-cache)
# Foreign guests (kernel and program packages of another architecture) are
# cached outside the build tree, in folders named by the package versions.
if(DEFINED ENV{XDG_CACHE_HOME})
  set(vm_foreign_cache_default $ENV{XDG_CACHE_HOME}/partition-programs-vm)
else()
  set(vm_foreign_cache_default $ENV{HOME}/.cache/partition-programs-vm)
endif()
set(PROJECT_VM_FOREIGN_CACHE ${vm_foreign_cache_default} CACHE PATH
    "Cache of foreign-architecture guest kernels and programs")
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(aarch64|arm64)$")
  set(PROJECT_VM_ARCH arm64)
else()
  set(PROJECT_VM_ARCH amd64)
endif()

function(project_vm_suite suite)
  cmake_parse_arguments(V "" "CHECKS;PREPARE;TIMEOUT;CHECK_TIMEOUT;MEMORY;ARCH;KERNEL_CONFIG"
                        "FILES;PROGRAMS;MODULES;APPEND;DEPENDS" ${ARGN})
  if(NOT V_CHECKS)
    message(FATAL_ERROR "project_vm_suite(${suite}): CHECKS <folder> is required")
  endif()
  get_filename_component(checks ${V_CHECKS} ABSOLUTE)
  if(NOT V_TIMEOUT)
    set(V_TIMEOUT 600)
  endif()
  if(NOT V_CHECK_TIMEOUT)
    set(V_CHECK_TIMEOUT 300)
  endif()
  if(NOT V_ARCH)
    set(V_ARCH ${PROJECT_VM_ARCH})
  endif()
  set(cache ${PROJECT_VM_CACHE})
  if(NOT V_ARCH STREQUAL amd64)
    set(cache ${PROJECT_VM_FOREIGN_CACHE})
  endif()
  set(work ${CMAKE_BINARY_DIR}/vm/${suite})
  set(args boot --suite ${suite} --arch ${V_ARCH} --checks ${checks} --cache ${cache}
           --work ${work} --image-builder ${PROJECT_IMAGE_BUILDER}
           --timeout ${V_TIMEOUT} --check-timeout ${V_CHECK_TIMEOUT})
  if(V_MEMORY)
    list(APPEND args --memory ${V_MEMORY})
  endif()
  if(V_PREPARE)
    get_filename_component(prepare ${V_PREPARE} ABSOLUTE)
    list(APPEND args --prepare ${prepare})
  endif()
  foreach(f IN LISTS V_FILES)
    list(APPEND args --file ${f})
  endforeach()
  foreach(p IN LISTS V_PROGRAMS)
    list(APPEND args --program ${p})
  endforeach()
  foreach(m IN LISTS V_MODULES)
    list(APPEND args --module ${m})
  endforeach()
  foreach(a IN LISTS V_APPEND)
    list(APPEND args --append ${a})
  endforeach()
  set(kernel_fixture "")
  if(V_KERNEL_CONFIG)
    get_filename_component(fragment ${V_KERNEL_CONFIG} ABSOLUTE)
    get_filename_component(kernel ${fragment} NAME_WE)
    list(APPEND args --kernel-config ${fragment})
    # One build test per fragment, shared by the suites that boot it; a
    # fresh build takes about 10 minutes on 2 cores.
    if(NOT TEST vm.kernel.${kernel})
      add_test(NAME vm.kernel.${kernel}
               COMMAND python3 ${PROJECT_VM_DIR}/kernel_build.py ${fragment})
      set_tests_properties(vm.kernel.${kernel} PROPERTIES
        LABELS vm FIXTURES_SETUP vm_kernel_${kernel} TIMEOUT 3600
        RESOURCE_LOCK vm_cache)
    endif()
    set(kernel_fixture vm_kernel_${kernel})
  endif()

  # The guest itself; the driver kills it at TIMEOUT, CTest is the backstop.
  math(EXPR ctest_timeout "${V_TIMEOUT} + 300")
  add_test(NAME vm.${suite} COMMAND python3 ${PROJECT_VM_DIR}/vm_run.py ${args})
  set_tests_properties(vm.${suite} PROPERTIES
    LABELS vm FIXTURES_SETUP vm_${suite} TIMEOUT ${ctest_timeout}
    RESOURCE_LOCK vm_cache FIXTURES_REQUIRED "${kernel_fixture}")

  file(GLOB scripts CONFIGURE_DEPENDS ${checks}/*.sh)
  list(SORT scripts)
  foreach(script IN LISTS scripts)
    get_filename_component(check ${script} NAME_WLE)
    add_test(NAME vm.${suite}.${check}
             COMMAND python3 ${PROJECT_VM_DIR}/vm_run.py result
                     --work ${work} --check ${check})
    set_tests_properties(vm.${suite}.${check} PROPERTIES
      LABELS vm FIXTURES_REQUIRED vm_${suite} SKIP_RETURN_CODE 77)
  endforeach()
endfunction()
