# Debian packages "tessaly" and "quillon" (scripts/package.sh builds them):
#   cpack -G DEB --config <build>/CPackConfig.cmake
# Shared library dependencies come from dpkg-shlibdeps; the programs that
# quillon and the tools start are added by hand.
include(GNUInstallDirs)
# Packaging installs only the two programs and their files; it must not
# build every test and benchmark first.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

set(PACKAGE_VERSION "0.1.0" CACHE STRING "Version of the Debian packages")

install(TARGETS tessaly RUNTIME DESTINATION bin COMPONENT tessaly)
install(FILES ${PROJECT_SOURCE_DIR}/sensor/config/examples/tessaly.json
        DESTINATION /etc/tessaly COMPONENT tessaly)
install(PROGRAMS ${PROJECT_SOURCE_DIR}/tools/listener/ids_listener.py
                 ${PROJECT_SOURCE_DIR}/tools/listener/report_decoder.py
        DESTINATION share/tessaly COMPONENT tessaly)
install(TARGETS quillon RUNTIME DESTINATION sbin COMPONENT quillon)
install(PROGRAMS ${PROJECT_SOURCE_DIR}/tools/image-builder/image_builder.py
        DESTINATION share/quillon COMPONENT quillon)
install(FILES ${PROJECT_SOURCE_DIR}/tools/image-builder/image_trailer.py
        DESTINATION share/quillon COMPONENT quillon)

# The tools under their command names.
foreach(tool tessaly-listener:share/tessaly/ids_listener.py:tessaly
             quillon-image-builder:share/quillon/image_builder.py:quillon)
  string(REPLACE ":" ";" tool ${tool})
  list(GET tool 0 name)
  list(GET tool 1 script)
  list(GET tool 2 component)
  file(CONFIGURE OUTPUT ${CMAKE_BINARY_DIR}/packaging/${name}
       CONTENT "#!/bin/sh\nexec python3 /usr/${script} \"$@\"\n")
  install(PROGRAMS ${CMAKE_BINARY_DIR}/packaging/${name} DESTINATION bin COMPONENT ${component})
endforeach()

# Manual pages, compressed as Debian keeps them.
set(man_pages)
foreach(page tessaly.8:tessaly quillon.8:quillon tessaly-listener.1:tessaly
             quillon-image-builder.1:quillon)
  string(REPLACE ":" ";" page ${page})
  list(GET page 0 file)
  list(GET page 1 component)
  string(REGEX REPLACE ".*\\." "" section ${file})
  set(out ${CMAKE_BINARY_DIR}/packaging/${file}.gz)
  add_custom_command(OUTPUT ${out}
    COMMAND gzip -9nc ${PROJECT_SOURCE_DIR}/man/${file} > ${out}
    DEPENDS ${PROJECT_SOURCE_DIR}/man/${file} VERBATIM)
  list(APPEND man_pages ${out})
  install(FILES ${out} DESTINATION share/man/man${section} COMPONENT ${component})
endforeach()
add_custom_target(man-pages ALL DEPENDS ${man_pages})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_VERSION ${PACKAGE_VERSION})
set(CPACK_PACKAGE_CONTACT "Partition programs maintainers <maintainers@localhost>")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL tessaly quillon)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
if(CMAKE_CROSSCOMPILING AND CMAKE_SYSTEM_PROCESSOR STREQUAL "aarch64")
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE arm64)
endif()
set(CPACK_DEBIAN_TESSALY_PACKAGE_NAME tessaly)
set(CPACK_DEBIAN_TESSALY_PACKAGE_DEPENDS "python3")
set(CPACK_DEBIAN_TESSALY_PACKAGE_RECOMMENDS "nftables")
# The example configuration is the administrator's to change.
file(CONFIGURE OUTPUT ${CMAKE_BINARY_DIR}/packaging/tessaly/conffiles
     CONTENT "/etc/tessaly/tessaly.json\n")
set(CPACK_DEBIAN_TESSALY_PACKAGE_CONTROL_EXTRA ${CMAKE_BINARY_DIR}/packaging/tessaly/conffiles)
string(CONCAT CPACK_COMPONENT_TESSALY_DESCRIPTION
    "network intrusion-detection sensor of a vehicle partition\n"
    "Receives the packets that netfilter rules log to NFLOG groups 101 and 102\n"
    "and the kernel's connection-tracking events, and publishes reports and flow\n"
    "samples over SOME/IP. Includes the report listener tessaly-listener.")
set(CPACK_DEBIAN_QUILLON_PACKAGE_NAME quillon)
set(CPACK_DEBIAN_QUILLON_PACKAGE_DEPENDS
    "runc, e2fsprogs, python3, squashfs-tools, cryptsetup-bin, openssl")
string(CONCAT CPACK_COMPONENT_QUILLON_DESCRIPTION
    "container controller for signed dm-verity images\n"
    "Mounts signed dm-verity squashfs container images with an overlay on a\n"
    "base root file system, prepares an ext4 data partition and hands over to\n"
    "runc. Includes the image builder quillon-image-builder.")
include(CPack)
