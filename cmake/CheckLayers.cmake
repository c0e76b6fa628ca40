# Reads every #include of the product folders under SOURCE_DIR against
# cmake/LayerRules.cmake: a folder's sources may include files of their own
# folder and of the folders it may use, nothing else, never by a relative
# path. Prints each wrong include and fails when there is one.
#
#   cmake -DSOURCE_DIR=<tree> -P cmake/CheckLayers.cmake
cmake_minimum_required(VERSION 3.22)
include(${CMAKE_CURRENT_LIST_DIR}/LayerRules.cmake)
if(NOT IS_DIRECTORY "${SOURCE_DIR}")
  message(FATAL_ERROR "SOURCE_DIR must name the tree to check")
endif()

# The repository's top folders: an include <like/this.h> naming one of
# them is judged too.
file(GLOB tops LIST_DIRECTORIES true RELATIVE ${SOURCE_DIR} ${SOURCE_DIR}/*)

set(wrong 0)
foreach(folder ${MODFLASH_LAYER_FOLDERS})
  set(allowed ${folder} ${MODFLASH_USES_${folder}})
  file(GLOB files ${SOURCE_DIR}/${folder}/*.h ${SOURCE_DIR}/${folder}/*.cpp)
  foreach(file ${files})
    file(STRINGS ${file} lines REGEX "^[ \t]*#[ \t]*include[ \t]*[<\"]")
    foreach(line ${lines})
      string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*([<\"])([^>\"]*).*"
                           "\\1\\2" include "${line}")
      string(SUBSTRING "${include}" 0 1 quote)
      string(SUBSTRING "${include}" 1 -1 path)
      string(REGEX REPLACE "/.*" "" top "${path}")
      if(quote STREQUAL "<" AND NOT top IN_LIST tops)
        continue()  # a system or third-party header
      endif()
      set(ok FALSE)
      foreach(use ${allowed})
        if(path MATCHES "^${use}/[^/]+$")
          set(ok TRUE)
        endif()
      endforeach()
      if(NOT ok)
        file(RELATIVE_PATH shown ${SOURCE_DIR} ${file})
        string(JOIN ", " uses ${allowed})
        message("${shown}: #include ${path}: ${folder}/ may include only "
                "${uses}")
        math(EXPR wrong "${wrong} + 1")
      endif()
    endforeach()
  endforeach()
endforeach()
if(wrong GREATER 0)
  message(FATAL_ERROR "${wrong} include(s) against the layers")
endif()
message("The includes of ${MODFLASH_LAYER_FOLDERS} keep to the layers")
