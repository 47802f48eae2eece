# Debian packages "tessaly", "quillon" and "quillon-image-builder" (scripts/package.sh builds them):
#   cpack -G DEB --config <build>/CPackConfig.cmake
# Shared library dependencies come from dpkg-shlibdeps; the programs that
# quillon and the tools start are added by hand.
include(GNUInstallDirs)
# Packaging installs only the two programs and their files; it must not
# build every test and benchmark first.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

set(PACKAGE_VERSION "0.1.0" CACHE STRING "Version of the Debian packages")

set(PACKAGING_DIR ${PROJECT_SOURCE_DIR}/packaging)
# Debian's bookworm keeps packaged units in /lib/systemd/system.
set(SYSTEMD_UNIT_DIR /lib/systemd/system)

# tessaly is a daemon (section 8): /usr/sbin.
install(TARGETS tessaly RUNTIME DESTINATION sbin COMPONENT tessaly)
install(FILES ${PROJECT_SOURCE_DIR}/sensor/config/examples/tessaly.json
        DESTINATION /etc/tessaly COMPONENT tessaly)
install(PROGRAMS ${PROJECT_SOURCE_DIR}/tools/listener/ids_listener.py
        DESTINATION share/tessaly COMPONENT tessaly)
# A module the listener imports, not a program.
install(FILES ${PROJECT_SOURCE_DIR}/tools/listener/report_decoder.py
        DESTINATION share/tessaly COMPONENT tessaly)
install(FILES ${PACKAGING_DIR}/tessaly/tessaly.service
        DESTINATION ${SYSTEMD_UNIT_DIR} COMPONENT tessaly)
install(FILES ${PACKAGING_DIR}/tessaly/sysusers.conf
        DESTINATION lib/sysusers.d RENAME tessaly.conf COMPONENT tessaly)

install(TARGETS quillon RUNTIME DESTINATION sbin COMPONENT quillon)
install(FILES ${PACKAGING_DIR}/quillon/quillon-base-rootfs.service
              ${PACKAGING_DIR}/quillon/quillon@.service
        DESTINATION ${SYSTEMD_UNIT_DIR} COMPONENT quillon)
install(FILES ${PACKAGING_DIR}/quillon/default
        DESTINATION /etc/default RENAME quillon COMPONENT quillon)

install(PROGRAMS ${PROJECT_SOURCE_DIR}/tools/image-builder/image_builder.py
        DESTINATION share/quillon-image-builder COMPONENT image_builder)
# A module the builder imports, not a program.
install(FILES ${PROJECT_SOURCE_DIR}/tools/image-builder/image_trailer.py
        DESTINATION share/quillon-image-builder COMPONENT image_builder)

# Every package carries the copyright file and the changelog (compressed,
# as Debian keeps it).
set(changelog ${CMAKE_BINARY_DIR}/packaging/changelog.gz)
add_custom_command(OUTPUT ${changelog}
  COMMAND gzip -9nc ${PACKAGING_DIR}/changelog > ${changelog}
  DEPENDS ${PACKAGING_DIR}/changelog VERBATIM)
foreach(component tessaly:tessaly quillon:quillon image_builder:quillon-image-builder)
  string(REPLACE ":" ";" component ${component})
  list(GET component 0 name)
  list(GET component 1 package)
  install(FILES ${PACKAGING_DIR}/copyright ${changelog}
          DESTINATION share/doc/${package} COMPONENT ${name})
endforeach()

# The tools under their command names.
foreach(tool tessaly-listener:share/tessaly/ids_listener.py:tessaly
             quillon-image-builder:share/quillon-image-builder/image_builder.py:image_builder)
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
             quillon-image-builder.1:image_builder)
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
add_custom_target(man-pages ALL DEPENDS ${man_pages} ${changelog})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_VERSION ${PACKAGE_VERSION})
set(CPACK_PACKAGE_CONTACT "Seed 666d7178 maintainers <maintainers@users.noreply.c-seed-666d7178.example>")
# One source, three binary packages; the changelog names the source.
set(CPACK_DEBIAN_PACKAGE_SOURCE partition-programs)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL tessaly quillon image_builder)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
if(CMAKE_CROSSCOMPILING AND CMAKE_SYSTEM_PROCESSOR STREQUAL "aarch64")
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE arm64)
endif()
set(CPACK_DEBIAN_TESSALY_PACKAGE_NAME tessaly)
set(CPACK_DEBIAN_TESSALY_PACKAGE_DEPENDS "python3")
set(CPACK_DEBIAN_TESSALY_PACKAGE_RECOMMENDS "nftables")
# The example configuration and the settings are the administrator's to change.
file(CONFIGURE OUTPUT ${CMAKE_BINARY_DIR}/packaging/tessaly/conffiles
     CONTENT "/etc/tessaly/tessaly.json\n")
set(CPACK_DEBIAN_TESSALY_PACKAGE_CONTROL_EXTRA ${CMAKE_BINARY_DIR}/packaging/tessaly/conffiles
    ${PACKAGING_DIR}/tessaly/postinst ${PACKAGING_DIR}/tessaly/prerm
    ${PACKAGING_DIR}/tessaly/postrm)
string(CONCAT CPACK_COMPONENT_TESSALY_DESCRIPTION
    "network intrusion-detection sensor of a vehicle partition\n"
    "Receives the packets that netfilter rules log to NFLOG groups 101 and 102\n"
    "and the kernel's connection-tracking events, and publishes reports and flow\n"
    "samples over SOME/IP. Includes the report listener tessaly-listener.")
set(CPACK_DEBIAN_QUILLON_PACKAGE_NAME quillon)
set(CPACK_DEBIAN_QUILLON_PACKAGE_DEPENDS "runc, e2fsprogs")
file(CONFIGURE OUTPUT ${CMAKE_BINARY_DIR}/packaging/quillon/conffiles
     CONTENT "/etc/default/quillon\n")
set(CPACK_DEBIAN_QUILLON_PACKAGE_CONTROL_EXTRA ${CMAKE_BINARY_DIR}/packaging/quillon/conffiles
    ${PACKAGING_DIR}/quillon/postinst ${PACKAGING_DIR}/quillon/postrm)
string(CONCAT CPACK_COMPONENT_QUILLON_DESCRIPTION
    "container controller for signed dm-verity images\n"
    "Mounts signed dm-verity squashfs container images with an overlay on a\n"
    "base root file system, prepares an ext4 data partition and hands over to\n"
    "runc. The images are made with quillon-image-builder.")
# Image building stays off the vehicle: a package of its own.
set(CPACK_DEBIAN_IMAGE_BUILDER_PACKAGE_NAME quillon-image-builder)
set(CPACK_DEBIAN_IMAGE_BUILDER_PACKAGE_ARCHITECTURE all)
set(CPACK_DEBIAN_IMAGE_BUILDER_PACKAGE_SHLIBDEPS OFF)
set(CPACK_DEBIAN_IMAGE_BUILDER_PACKAGE_DEPENDS
    "python3, squashfs-tools, cryptsetup-bin, openssl")
string(CONCAT CPACK_COMPONENT_IMAGE_BUILDER_DESCRIPTION
    "builds signed dm-verity images for quillon\n"
    "Makes key pairs and signed dm-verity squashfs images of container and\n"
    "base root file systems in the format the quillon container controller\n"
    "checks and mounts.")
include(CPack)
