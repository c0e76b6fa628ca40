# Builds each probe with the include path of the layer it belongs to (it
# must compile) and with that of a layer below (it must not): app/entry.h
# from app/ and link/, fleet/cli/exit_status.h from fleet/cli/ and
# fleet/plan/.
#
#   cmake -DBUILD_DIR=<build tree> -P build_probes.cmake
function(build_probe target result output)
  execute_process(COMMAND ${CMAKE_COMMAND} --build ${BUILD_DIR}
                          --target ${target}
                  RESULT_VARIABLE code OUTPUT_VARIABLE text ERROR_VARIABLE text)
  set(${result} ${code} PARENT_SCOPE)
  set(${output} "${text}" PARENT_SCOPE)
endfunction()

# probe(ABOVE BELOW HEADER): ABOVE's probe compiles, BELOW's fails on HEADER.
function(probe above below header)
  build_probe(layer_probe_${above} aboveResult aboveOutput)
  if(NOT aboveResult EQUAL 0)
    message(FATAL_ERROR "The probe does not compile even as part of "
                        "${above}:\n${aboveOutput}")
  endif()
  build_probe(layer_probe_${below} belowResult belowOutput)
  if(belowResult EQUAL 0)
    message(FATAL_ERROR "${below} reached ${header}: the layers are open")
  endif()
  string(REPLACE "." "\\." pattern "${header}")
  if(NOT belowOutput MATCHES "${pattern}")
    message(FATAL_ERROR "The ${below} probe failed, but not on ${header}:\n"
                        "${belowOutput}")
  endif()
  message("${below} cannot include ${header}; ${above} can")
endfunction()

probe(app link app/entry.h)
probe(fleet_cli fleet_plan fleet/cli/exit_status.h)
