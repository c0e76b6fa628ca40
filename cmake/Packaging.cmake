# Installation and packages: `cmake --install` and CPack.
# Windows builds: one ZIP with the programs and documents side by side.
# Linux builds: bin/, share/doc/modflash/ and share/man/man1/, packed as a
# .tar.gz and, where dpkg-shlibdeps is installed, as a .deb.
if(WIN32)
  set(MODFLASH_BIN_DIR .)
  set(MODFLASH_DOC_DIR .)
else()
  include(GNUInstallDirs)
  set(MODFLASH_BIN_DIR ${CMAKE_INSTALL_BINDIR})
  set(MODFLASH_DOC_DIR ${CMAKE_INSTALL_DOCDIR})
  set(MODFLASH_MAN_DIR ${CMAKE_INSTALL_MANDIR}/man1)
endif()
# Folders get the usual modes whatever the umask of the one who installs.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE
    GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

install(TARGETS modflash RUNTIME DESTINATION ${MODFLASH_BIN_DIR})
foreach(program readersim modflash-fleet)
  if(TARGET ${program})
    install(TARGETS ${program} RUNTIME DESTINATION ${MODFLASH_BIN_DIR})
  endif()
endforeach()
# The README and every guide in docs/.
file(GLOB MODFLASH_GUIDES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/docs/*.md)
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${MODFLASH_GUIDES}
        DESTINATION ${MODFLASH_DOC_DIR})

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
readersim, a reader and RF module simulator, comes with it, for rehearsing
an update and its failures without a reader.]=])
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "modflash developers <dev@modflash.invalid>")
# Packages carry stripped programs.
set(CPACK_STRIP_FILES ON)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  # The 64-bit program is the earlier revision; say so in the file name.
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(CPACK_SYSTEM_NAME win64)
  else()
    set(CPACK_SYSTEM_NAME win32)
  endif()
  if(MODFLASH_EARLIER_REVISION)
    string(APPEND CPACK_SYSTEM_NAME "-earlier")
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
