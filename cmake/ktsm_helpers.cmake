# ktsm_add_library(NAME <target> OUTPUT <file name without lib/.so>
#                  SOURCES ... INCLUDE_DIR <dir> [LINK ...] [PRIVATE_LINK ...])
# Builds a versioned shared library (SONAME lib<OUTPUT>.so.<major>) with hidden
# symbols, an export header macro <TARGET>_API, and installs it with its headers.
function(ktsm_add_library)
  cmake_parse_arguments(A "" "NAME;OUTPUT;INCLUDE_DIR" "SOURCES;LINK;PRIVATE_LINK" ${ARGN})
  add_library(${A_NAME} SHARED ${A_SOURCES})
  add_library(ktsm::${A_NAME} ALIAS ${A_NAME})
  set_target_properties(${A_NAME} PROPERTIES
    OUTPUT_NAME ${A_OUTPUT}
    VERSION ${PROJECT_VERSION}
    SOVERSION ${PROJECT_VERSION_MAJOR}
    EXPORT_NAME ${A_NAME})
  target_include_directories(${A_NAME} PUBLIC
    $<BUILD_INTERFACE:${A_INCLUDE_DIR}>
    $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
  target_link_libraries(${A_NAME} PUBLIC ${A_LINK} PRIVATE ${A_PRIVATE_LINK})
  install(TARGETS ${A_NAME} EXPORT ktsm-targets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(DIRECTORY ${A_INCLUDE_DIR}/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
endfunction()
