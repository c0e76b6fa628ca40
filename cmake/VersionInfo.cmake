# Windows version information: a VERSIONINFO resource and an application
# manifest, compiled by the RC compiler (MinGW's windres) into the program.
#
#   modflash_add_version_info(<target> "<file description>")
#
# Does nothing outside Windows builds. Every target it is applied to is
# recorded, so the test folder can read each resource back from the built
# program.
set(MODFLASH_VERSION_INFO_DIR ${CMAKE_CURRENT_LIST_DIR}/windows)

function(modflash_add_version_info target description)
  if(NOT WIN32)
    return()
  endif()
  get_target_property(output_name ${target} OUTPUT_NAME)
  if(NOT output_name)
    set(output_name ${target})
  endif()
  # The four numbers of FILEVERSION; a missing part counts as 0.
  foreach(part MAJOR MINOR PATCH TWEAK)
    set(VERSION_${part} ${PROJECT_VERSION_${part}})
    if(NOT VERSION_${part})
      set(VERSION_${part} 0)
    endif()
  endforeach()
  set(VERSION_TEXT ${PROJECT_VERSION})
  set(FILE_DESCRIPTION "${description}")
  set(ORIGINAL_FILENAME "${output_name}${CMAKE_EXECUTABLE_SUFFIX}")
  set(INTERNAL_NAME "${output_name}")
  set(PRODUCT_NAME "${PROJECT_NAME}")
  set(MANIFEST_NAME "${PROJECT_NAME}.${output_name}")
  set(dir ${CMAKE_CURRENT_BINARY_DIR}/${target}_version_info)
  configure_file(${MODFLASH_VERSION_INFO_DIR}/app.manifest.in
                 ${dir}/app.manifest @ONLY)
  set(MANIFEST_PATH ${dir}/app.manifest)
  configure_file(${MODFLASH_VERSION_INFO_DIR}/version_info.rc.in
                 ${dir}/version_info.rc @ONLY)
  target_sources(${target} PRIVATE ${dir}/version_info.rc)
  # The resource embeds the manifest: rebuild it when the manifest changes.
  set_source_files_properties(${dir}/version_info.rc PROPERTIES
                              OBJECT_DEPENDS ${dir}/app.manifest)
  set_property(GLOBAL APPEND PROPERTY MODFLASH_VERSION_INFO_TARGETS ${target})
endfunction()

# One test per program with version information, added once every folder has
# been read, so programs defined anywhere in the tree are covered. The check
# needs wrestool (Debian: icoutils); without it, there is no test to run.
function(_modflash_version_info_tests)
  if(NOT BUILD_TESTING)
    return()
  endif()
  find_program(MODFLASH_WRESTOOL wrestool)
  get_property(targets GLOBAL PROPERTY MODFLASH_VERSION_INFO_TARGETS)
  if(NOT MODFLASH_WRESTOOL)
    message(STATUS "wrestool not found: version information is not tested")
    return()
  endif()
  foreach(target IN LISTS targets)
    add_test(NAME VersionInfo.${target}
             COMMAND ${PROJECT_SOURCE_DIR}/scripts/check-version-info
                     $<TARGET_FILE:${target}> ${PROJECT_VERSION})
  endforeach()
endfunction()
if(WIN32)
  cmake_language(DEFER DIRECTORY ${PROJECT_SOURCE_DIR}
                 CALL _modflash_version_info_tests)
endif()
