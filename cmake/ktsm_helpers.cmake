include(GenerateExportHeader)

# ktsm_export_header(<target> <header directory>)
# Generates <header directory>/<target>_export.h (lower case), whose macro
# <TARGET>_API marks what the library exports; every other symbol is hidden.
# The header is found beside the target's own headers, built and installed.
function(ktsm_export_header target dir)
  string(TOLOWER ${target} lower)
  string(TOUPPER ${target} upper)
  set(header ${PROJECT_BINARY_DIR}/generated/${dir}/${lower}_export.h)
  generate_export_header(${target} BASE_NAME ${lower} EXPORT_MACRO_NAME ${upper}_API
    EXPORT_FILE_NAME ${header})
  target_include_directories(${target} PUBLIC $<BUILD_INTERFACE:${PROJECT_BINARY_DIR}/generated>)
  install(FILES ${header} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/${dir})
endfunction()

# ktsm_add_library(NAME <target> OUTPUT <file name without lib/.so>
#                  SOURCES ... INCLUDE_DIR <dir> HEADER_DIR <subdir>
#                  [LINK ...] [PRIVATE_LINK ...])
# Builds a versioned shared library (SONAME lib<OUTPUT>.so.<major>) with hidden
# symbols, an export header macro <TARGET>_API (see ktsm_export_header), and
# installs it with its headers.
function(ktsm_add_library)
  cmake_parse_arguments(A "" "NAME;OUTPUT;INCLUDE_DIR;HEADER_DIR" "SOURCES;LINK;PRIVATE_LINK"
    ${ARGN})
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
  ktsm_export_header(${A_NAME} ${A_HEADER_DIR})
  install(TARGETS ${A_NAME} EXPORT ktsm-targets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(DIRECTORY ${A_INCLUDE_DIR}/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
endfunction()
