# What "cmake --install" puts on a Linux machine, and what the Debian
# packages hold (debian/rules installs with the prefix /usr). Paths that an
# operator's configuration names (the filter in nginx's snippet and in the
# service unit) are fixed under the prefix rather than multiarch, so that a
# configuration written for one machine works on another.
include(GNUInstallDirs)

set(QELMOR_INSTALL_FILTERDIR lib/qelmor CACHE STRING
  "Folder of qelmor.so and the KAVRO.ini link, under the prefix")
set(QELMOR_INSTALL_NGINX_MODULEDIR lib/nginx/modules CACHE STRING
  "Folder of nginx's dynamic modules, under the prefix")
set(QELMOR_INSTALL_SYSTEMD_UNITDIR lib/systemd/system CACHE STRING
  "Folder of systemd's service units, under the prefix")

set(qelmor_filter_dir ${CMAKE_INSTALL_PREFIX}/${QELMOR_INSTALL_FILTERDIR})
set(qelmor_settings ${CMAKE_INSTALL_FULL_SYSCONFDIR}/qelmor/KAVRO.ini)

# The unit, the nginx snippet and the KAVRO.ini link name paths under the
# prefix of the configure step; installing under another would leave them
# pointing at files that are not there.
install(CODE "
  if(NOT CMAKE_INSTALL_PREFIX STREQUAL \"${CMAKE_INSTALL_PREFIX}\")
    message(FATAL_ERROR \"This tree was configured for the prefix ${CMAKE_INSTALL_PREFIX}; \"
      \"configure it with -DCMAKE_INSTALL_PREFIX=\${CMAKE_INSTALL_PREFIX} instead of --prefix\")
  endif()" ALL_COMPONENTS)

install(TARGETS qelmor LIBRARY DESTINATION ${QELMOR_INSTALL_FILTERDIR} COMPONENT filter)
install(TARGETS qelmor_tool qelmor-serve RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  COMPONENT filter)

# The filter reads KAVRO.ini beside itself; the file an operator edits lives
# in /etc, and a link joins the two.
install(FILES ${PROJECT_SOURCE_DIR}/packaging/KAVRO.ini
  DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/qelmor COMPONENT filter)
install(CODE "
  file(MAKE_DIRECTORY \"\$ENV{DESTDIR}${qelmor_filter_dir}\")
  file(CREATE_LINK \"${qelmor_settings}\" \"\$ENV{DESTDIR}${qelmor_filter_dir}/KAVRO.ini\" SYMBOLIC)
  message(STATUS \"Installing: \$ENV{DESTDIR}${qelmor_filter_dir}/KAVRO.ini -> ${qelmor_settings}\")"
  COMPONENT filter)

configure_file(${PROJECT_SOURCE_DIR}/packaging/qelmor-serve.service.in
  ${PROJECT_BINARY_DIR}/packaging/qelmor-serve.service @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/packaging/qelmor-serve.service
  DESTINATION ${QELMOR_INSTALL_SYSTEMD_UNITDIR} COMPONENT filter)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/qelmor-serve.default
  DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/default RENAME qelmor-serve COMPONENT filter)

install(FILES ${PROJECT_SOURCE_DIR}/man/qelmor.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
  COMPONENT filter)
install(FILES ${PROJECT_SOURCE_DIR}/man/KAVRO.ini.5 DESTINATION ${CMAKE_INSTALL_MANDIR}/man5
  COMPONENT filter)
install(FILES ${PROJECT_SOURCE_DIR}/man/qelmor-serve.8 DESTINATION ${CMAKE_INSTALL_MANDIR}/man8
  COMPONENT filter)

if(TARGET ngx_http_qelmor_module)
  install(FILES ${QELMOR_NGINX_MODULE} DESTINATION ${QELMOR_INSTALL_NGINX_MODULEDIR}
    COMPONENT nginx)
  file(READ ${PROJECT_SOURCE_DIR}/examples/nginx/mod-http-qelmor.conf qelmor_nginx_snippet)
  string(REPLACE /usr/lib/qelmor/qelmor.so ${qelmor_filter_dir}/qelmor.so
    qelmor_nginx_snippet "${qelmor_nginx_snippet}")
  # Debian's nginx finds "modules/" in /usr/lib/nginx/modules; anywhere else
  # the module is named in full.
  set(qelmor_nginx_module_dir ${CMAKE_INSTALL_PREFIX}/${QELMOR_INSTALL_NGINX_MODULEDIR})
  if(NOT qelmor_nginx_module_dir STREQUAL "/usr/lib/nginx/modules")
    string(REPLACE "load_module modules/" "load_module ${qelmor_nginx_module_dir}/"
      qelmor_nginx_snippet "${qelmor_nginx_snippet}")
  endif()
  file(CONFIGURE OUTPUT ${PROJECT_BINARY_DIR}/packaging/mod-http-qelmor.conf
    CONTENT "${qelmor_nginx_snippet}" @ONLY)
  set_property(DIRECTORY ${PROJECT_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
    ${PROJECT_SOURCE_DIR}/examples/nginx/mod-http-qelmor.conf)
  install(FILES ${PROJECT_BINARY_DIR}/packaging/mod-http-qelmor.conf
    DESTINATION ${CMAKE_INSTALL_DATADIR}/nginx/modules-available COMPONENT nginx)
  install(FILES ${PROJECT_SOURCE_DIR}/examples/nginx/qelmor-example
    DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/nginx/sites-available COMPONENT nginx)
endif()
