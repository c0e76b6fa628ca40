# Builds the probe that includes app/entry.h with the front end's include
# path (it must compile) and with the link's (it must not).
#
#   cmake -DBUILD_DIR=<build tree> -P build_probes.cmake
execute_process(COMMAND ${CMAKE_COMMAND} --build ${BUILD_DIR}
                        --target layer_probe_app
                RESULT_VARIABLE appResult OUTPUT_VARIABLE appOutput
                ERROR_VARIABLE appOutput)
if(NOT appResult EQUAL 0)
  message(FATAL_ERROR "The probe does not compile even as part of app:\n"
                      "${appOutput}")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} --build ${BUILD_DIR}
                        --target layer_probe_link
                RESULT_VARIABLE linkResult OUTPUT_VARIABLE linkOutput
                ERROR_VARIABLE linkOutput)
if(linkResult EQUAL 0)
  message(FATAL_ERROR "link/ reached app/entry.h: the layers are open")
endif()
if(NOT linkOutput MATCHES "app/entry\\.h")
  message(FATAL_ERROR "The link probe failed, but not on app/entry.h:\n"
                      "${linkOutput}")
endif()
message("link/ cannot include app/entry.h; app/ can")
