# The Debian package, made by CPack's DEB generator (make package):
#   /usr/bin/korven-qxt                        the static binary (no dependencies)
#   /etc/korven-qxt/config.json                the commented example settings (a conffile)
#   /lib/systemd/system/korven-qxt.service     the service, neither enabled nor started
#   /usr/share/man/man1/korven-qxt.1.gz        made by help2man from --help (packaging/CMakeLists.txt)
#   /usr/share/doc/korven-qxt/                 README, vectors, copyright (from LICENSE), changelog
#   /usr/share/lintian/overrides/korven-qxt    the lintian findings kept on purpose, with reasons
# Included from the top-level CMakeLists.txt before include(CPack).
set(QXT_DEB_MAINTAINER "nolu <korven-qxt@nolupool.net>" CACHE STRING "Maintainer field of the Debian package")
set(qxt_deb_src ${CMAKE_SOURCE_DIR}/packaging/debian)
set(qxt_deb_out ${CMAKE_BINARY_DIR}/debian)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME korven-qxt)
set(CPACK_PACKAGE_VENDOR nolu)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "CPU miner for the QXT coin (Argon2id over 2 GiB)")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${QXT_DEB_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Mines QXT on x86-64 processors with AVX2 or AVX-512, one thread per physical
core, against a mining pool; writes a JSON statistics file for rig monitors.
It runs from the command line or as the systemd service korven-qxt, which
reads /etc/korven-qxt/config.json and starts once a payout address is set.")
# Static: the binary needs no shared library, so the package depends on none
# (dpkg-shlibdeps would find nothing to compute).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${qxt_deb_src}/conffiles ${qxt_deb_src}/postinst ${qxt_deb_src}/prerm ${qxt_deb_src}/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

# 0640: the settings may say where the status server's token is, and other
# users have no business reading them (the service gets a copy as a credential).
install(FILES ${qxt_deb_src}/config.json DESTINATION /etc/korven-qxt
        PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ)
install(FILES ${qxt_deb_src}/korven-qxt.service DESTINATION /lib/systemd/system)
install(FILES ${qxt_deb_src}/lintian-overrides DESTINATION share/lintian/overrides RENAME korven-qxt)

# The copyright file in Debian's machine-readable form, from LICENSE: the
# holder from its "Copyright (c)" line, the licence text (MIT is called
# "Expat" there) indented by one space, empty lines as " .".
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/LICENSE)
file(READ ${CMAKE_SOURCE_DIR}/LICENSE qxt_license)
string(REPLACE ";" "\\;" qxt_license "${qxt_license}")
string(REPLACE "\n" ";" qxt_license_lines "${qxt_license}")
set(qxt_holder "")
set(qxt_license_text "")
set(qxt_in_text FALSE)
set(qxt_pending_gap FALSE)
foreach(line IN LISTS qxt_license_lines)
  if(line MATCHES "^Copyright \\(c\\) (.+)$")
    set(qxt_holder "${CMAKE_MATCH_1}")
    set(qxt_in_text TRUE)
  elseif(qxt_in_text AND line STREQUAL "")
    set(qxt_pending_gap TRUE)
  elseif(qxt_in_text)
    if(qxt_pending_gap AND NOT qxt_license_text STREQUAL "")
      string(APPEND qxt_license_text " .\n")
    endif()
    set(qxt_pending_gap FALSE)
    string(APPEND qxt_license_text " ${line}\n")
  endif()
endforeach()
if(qxt_holder STREQUAL "" OR qxt_license_text STREQUAL "")
  message(FATAL_ERROR "LICENSE has no \"Copyright (c) <holder>\" line followed by the licence text")
endif()
file(WRITE ${qxt_deb_out}/copyright
"Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: korven-qxt

Files: *
Copyright: ${qxt_holder}
License: Expat
${qxt_license_text}")

# The Debian changelog of this native package: one entry per version.
string(TIMESTAMP qxt_deb_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
file(WRITE ${qxt_deb_out}/changelog
"korven-qxt (${PROJECT_VERSION}) unstable; urgency=medium

  * Release ${PROJECT_VERSION}.

 -- ${QXT_DEB_MAINTAINER}  ${qxt_deb_date}
")
execute_process(COMMAND gzip -n -9 -f ${qxt_deb_out}/changelog RESULT_VARIABLE qxt_rc)
if(NOT qxt_rc EQUAL 0)
  message(FATAL_ERROR "gzip failed on ${qxt_deb_out}/changelog")
endif()
install(FILES ${qxt_deb_out}/copyright ${qxt_deb_out}/changelog.gz DESTINATION share/doc/korven-qxt)
