# The release package of a Windows build: dist/qelmor-windows-<arch>.zip
# holding qelmor.dll, the sample KAVRO.ini and the install guide, the texts
# with Windows line ends. Build the target windows-package.
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(QELMOR_WINDOWS_ARCH x64)
  set(QELMOR_WINDOWS_BITS 64)
else()
  set(QELMOR_WINDOWS_ARCH x86)
  set(QELMOR_WINDOWS_BITS 32)
endif()
set(QELMOR_VERSION ${PROJECT_VERSION})

set(package_name qelmor-windows-${QELMOR_WINDOWS_ARCH})
set(package_root ${PROJECT_BINARY_DIR}/package)
set(package_stage ${package_root}/${package_name})
set(package_zip ${PROJECT_SOURCE_DIR}/dist/${package_name}.zip)

foreach(text KAVRO.ini INSTALL.txt)
  configure_file(${PROJECT_SOURCE_DIR}/examples/windows/${text} ${package_stage}/${text}
    @ONLY NEWLINE_STYLE CRLF)
endforeach()

add_custom_command(OUTPUT ${package_zip}
  COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:qelmor> ${package_stage}/qelmor.dll
  COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_SOURCE_DIR}/dist
  COMMAND ${CMAKE_COMMAND} -E rm -f ${package_zip}
  COMMAND ${CMAKE_COMMAND} -E tar cf ${package_zip} --format=zip ${package_name}
  WORKING_DIRECTORY ${package_root}
  DEPENDS qelmor ${package_stage}/KAVRO.ini ${package_stage}/INSTALL.txt
  COMMENT "Packing ${package_zip}"
  VERBATIM)
add_custom_target(windows-package DEPENDS ${package_zip})
