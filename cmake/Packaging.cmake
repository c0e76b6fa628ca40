# Installation and packages: `cmake --install` and CPack.
# Windows builds: one ZIP with the programs, the documents (CR LF line ends)
# and the Wireshark dissector side by side; scripts/release also makes the
# installer (.msi) of the 32-bit tree.
# Linux builds: bin/, share/doc/modflash/, share/man/man1/,
# share/modflash/wireshark/ and share/modflash/ansible/, packed as a .tar.gz
# and, where dpkg-shlibdeps is installed, as a .deb.
if(WIN32)
  set(MODFLASH_BIN_DIR .)
  set(MODFLASH_DOC_DIR .)
  set(MODFLASH_DISSECTOR_DIR .)
else()
  include(GNUInstallDirs)
  set(MODFLASH_BIN_DIR ${CMAKE_INSTALL_BINDIR})
  set(MODFLASH_DOC_DIR ${CMAKE_INSTALL_DOCDIR})
  set(MODFLASH_MAN_DIR ${CMAKE_INSTALL_MANDIR}/man1)
  set(MODFLASH_DISSECTOR_DIR ${CMAKE_INSTALL_DATADIR}/modflash/wireshark)
endif()
# Folders get the usual modes whatever the umask of the one who installs.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE
    GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

install(TARGETS modflash RUNTIME DESTINATION ${MODFLASH_BIN_DIR})
foreach(program readersim modflash-fleet modflash-audit)
  if(TARGET ${program})
    install(TARGETS ${program} RUNTIME DESTINATION ${MODFLASH_BIN_DIR})
  endif()
endforeach()
# The README for those who run the programs (the repository's README.md is
# for its developers), every guide in docs/ and the package's version.
file(GLOB MODFLASH_GUIDES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/docs/*.md)
set(MODFLASH_USER_README ${PROJECT_SOURCE_DIR}/packaging/README-install.md)
set(MODFLASH_PACKAGE_DIR ${PROJECT_BINARY_DIR}/package)
if(WIN32)
  # Windows readers get CR LF line ends, converted at build time.
  set(documents)
  foreach(source IN LISTS MODFLASH_USER_README MODFLASH_GUIDES)
    get_filename_component(name ${source} NAME)
    if(source STREQUAL MODFLASH_USER_README)
      set(name README.md)
    endif()
    add_custom_command(
      OUTPUT ${MODFLASH_PACKAGE_DIR}/${name}
      COMMAND ${CMAKE_COMMAND} -DIN=${source} -DOUT=${MODFLASH_PACKAGE_DIR}/${name}
              -P ${PROJECT_SOURCE_DIR}/cmake/ToCrlf.cmake
      DEPENDS ${source} ${PROJECT_SOURCE_DIR}/cmake/ToCrlf.cmake
      COMMENT "Converting ${name} to CR LF")
    list(APPEND documents ${MODFLASH_PACKAGE_DIR}/${name})
  endforeach()
  add_custom_target(modflash_crlf_docs ALL DEPENDS ${documents})
  install(FILES ${documents} DESTINATION ${MODFLASH_DOC_DIR})
  set(newline CRLF)
  if(MODFLASH_EARLIER_REVISION)
    # The 64-bit archive says first that it is not the current program.
    configure_file(${PROJECT_SOURCE_DIR}/packaging/windows/README-FIRST.txt.in
                   ${MODFLASH_PACKAGE_DIR}/README-FIRST.txt
                   @ONLY NEWLINE_STYLE CRLF)
    install(FILES ${MODFLASH_PACKAGE_DIR}/README-FIRST.txt
            DESTINATION ${MODFLASH_DOC_DIR})
  endif()
else()
  install(FILES ${MODFLASH_USER_README} DESTINATION ${MODFLASH_DOC_DIR}
          RENAME README.md)
  install(FILES ${MODFLASH_GUIDES} DESTINATION ${MODFLASH_DOC_DIR})
  set(newline UNIX)
endif()
file(CONFIGURE OUTPUT ${MODFLASH_PACKAGE_DIR}/version.txt
     CONTENT "${PROJECT_VERSION}\n" NEWLINE_STYLE ${newline})
install(FILES ${MODFLASH_PACKAGE_DIR}/version.txt
        DESTINATION ${MODFLASH_DOC_DIR})
# The Wireshark dissector of the reader link.
install(FILES ${PROJECT_SOURCE_DIR}/tools/wireshark/modflash.lua
        DESTINATION ${MODFLASH_DISSECTOR_DIR})
# The Ansible role and playbooks of a rollout across sites
# (docs/multi-site.md), to copy on the controller; Ansible controllers run
# on Linux and the like, so the Windows packages leave them out.
if(NOT WIN32)
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/deploy/ansible/
          DESTINATION ${CMAKE_INSTALL_DATADIR}/modflash/ansible
          FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
endif()

if(NOT WIN32)
  # Manual pages and the changelog go out compressed, as Debian wants them;
  # -n keeps the name and time out of the gzip header.
  find_program(MODFLASH_GZIP gzip REQUIRED)
  file(GLOB MODFLASH_MAN_PAGES CONFIGURE_DEPENDS
       ${PROJECT_SOURCE_DIR}/docs/man/*.1)
  set(compressed)
  foreach(source IN LISTS MODFLASH_MAN_PAGES
                  ITEMS ${PROJECT_SOURCE_DIR}/packaging/debian/changelog)
    get_filename_component(name ${source} NAME)
    set(out ${PROJECT_BINARY_DIR}/compressed/${name})
    add_custom_command(
      OUTPUT ${out}.gz
      COMMAND ${CMAKE_COMMAND} -E copy ${source} ${out}
      COMMAND ${MODFLASH_GZIP} -9nf ${out}
      DEPENDS ${source}
      COMMENT "Compressing ${name}")
    list(APPEND compressed ${out}.gz)
    if(source IN_LIST MODFLASH_MAN_PAGES)
      install(FILES ${out}.gz DESTINATION ${MODFLASH_MAN_DIR})
    endif()
  endforeach()
  add_custom_target(modflash_compressed_docs ALL DEPENDS ${compressed})
  install(FILES ${PROJECT_BINARY_DIR}/compressed/changelog.gz
                ${PROJECT_SOURCE_DIR}/packaging/debian/copyright
          DESTINATION ${MODFLASH_DOC_DIR})

  # The Debian changelog names the version it describes; it must be this one.
  file(STRINGS ${PROJECT_SOURCE_DIR}/packaging/debian/changelog
       MODFLASH_CHANGELOG_HEAD LIMIT_COUNT 1)
  if(NOT MODFLASH_CHANGELOG_HEAD MATCHES "^modflash \\(${PROJECT_VERSION}\\) ")
    message(WARNING "packaging/debian/changelog does not start with version "
                    "${PROJECT_VERSION}: add an entry for it")
  endif()
endif()

set(CPACK_PACKAGE_NAME modflash)
set(CPACK_PACKAGE_VENDOR "the modflash authors")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Firmware programmer for the RF module behind a network reader")
# The .deb's long description: lines under 80 characters, "." between
# paragraphs.
set(CPACK_PACKAGE_DESCRIPTION [=[
modflash writes a firmware image into the RF module of a network-attached
reader over one TCP connection: it checks the image, switches the module
into its update mode, sends the image in CRC-checked packets with retries
and verifies the version after the module's restart.
.
The package holds four programs:
  modflash        programs the module of one reader;
  modflash-fleet  updates the modules of many readers at once, from an
                  inventory file, and reports on each one;
  modflash-audit  reads the module's rate and version of one reader, for
                  modflash-fleet's audit;
  readersim       simulates readers and their modules, for rehearsing an
                  update and its failures without hardware.
.
Guides and manual pages come with them, and a Wireshark dissector for the
reader link in /usr/share/modflash/wireshark/.]=])
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "modflash developers <dev@modflash.invalid>")
# Packages carry stripped programs.
set(CPACK_STRIP_FILES ON)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  # The 64-bit program is the earlier revision; the file name says so.
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(CPACK_SYSTEM_NAME win64)
  else()
    set(CPACK_SYSTEM_NAME win32)
  endif()
  if(MODFLASH_EARLIER_REVISION)
    string(APPEND CPACK_SYSTEM_NAME "-earlier-revision")
  endif()
else()
  set(CPACK_GENERATOR TGZ)
  # The .deb's Depends line comes from dpkg-shlibdeps (Debian: dpkg-dev).
  find_program(MODFLASH_DPKG_SHLIBDEPS dpkg-shlibdeps)
  if(MODFLASH_DPKG_SHLIBDEPS)
    list(APPEND CPACK_GENERATOR DEB)
  endif()
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
endif()
set(CPACK_SOURCE_GENERATOR "")
include(CPack)
