# Layers the build enforces. Each product folder is one library; it links
# the libraries of the folders it may use (cmake/LayerRules.cmake) and no
# other, and its include path holds only those folders: every folder has an
# include root in the build tree with one link in it, to that folder, and a
# library publishes its folder's root. A source that includes a folder above
# its own does not compile. Where links cannot be made, the repository root
# stands in and the layers.includes test alone keeps the arrows.
include(${CMAKE_CURRENT_LIST_DIR}/LayerRules.cmake)

# The library that holds a folder's sources.
function(modflash_layer_library folder out)
  if(folder STREQUAL "tools/readersim")
    set(${out} readersim_core PARENT_SCOPE)
  else()
    string(REPLACE "/" "_" name "${folder}")
    set(${out} modflash_${name} PARENT_SCOPE)
  endif()
endfunction()

# modflash_layer(TARGET FOLDER): TARGET is the library of FOLDER.
function(modflash_layer target folder)
  string(REPLACE "/" "_" name "${folder}")
  set(root ${CMAKE_BINARY_DIR}/layers/${name})
  get_filename_component(parent ${root}/${folder} DIRECTORY)
  file(MAKE_DIRECTORY ${parent})
  file(CREATE_LINK ${PROJECT_SOURCE_DIR}/${folder} ${root}/${folder}
       RESULT linked SYMBOLIC)
  if(NOT linked STREQUAL "0")
    message(STATUS "No include root for ${folder} (${linked}): the layer "
                   "rules are checked by the layers.includes test only")
    set(root ${PROJECT_SOURCE_DIR})
    set(MODFLASH_LAYER_ROOTS OFF CACHE INTERNAL "")
  endif()
  get_target_property(type ${target} TYPE)
  set(scope PUBLIC)
  if(type STREQUAL "INTERFACE_LIBRARY")
    set(scope INTERFACE)
  endif()
  target_include_directories(${target} ${scope} ${root})
  foreach(used ${MODFLASH_USES_${folder}})
    modflash_layer_library(${used} library)
    target_link_libraries(${target} ${scope} ${library})
  endforeach()
endfunction()

# modflash_platform_sources(TARGET NAME...): adds NAME_win32.cpp or
# NAME_posix.cpp for each NAME, as the target platform wants.
function(modflash_platform_sources target)
  foreach(name ${ARGN})
    if(WIN32)
      target_sources(${target} PRIVATE ${name}_win32.cpp)
    else()
      target_sources(${target} PRIVATE ${name}_posix.cpp)
    endif()
  endforeach()
endfunction()

set(MODFLASH_LAYER_ROOTS ON CACHE INTERNAL "")
