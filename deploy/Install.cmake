# What `cmake --install` puts where, and the Debian package CPack builds of it.
# The libraries go to a directory of their own; the programs find them by
# their run path. The prefix is /usr unless given, so that the service unit
# and the package agree on where the programs are; stage with DESTDIR.
set(LUMENA_EXPORTER_USER "lumena" CACHE STRING "User the metrics exporter service runs as")
set(LUMENA_EXPORTER_GROUP "lumena" CACHE STRING
  "Group of the exporter service: one that may read the brokers' segments")

install(TARGETS zovpnode imbdfplg LIBRARY DESTINATION ${ZOV_INSTALL_LIBDIR})
install(TARGETS lumenaview brokerhost RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${CMAKE_SOURCE_DIR}/deploy/lumenaview.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

configure_file(${CMAKE_SOURCE_DIR}/deploy/lumenaview-exporter.service.in
  ${CMAKE_BINARY_DIR}/lumenaview-exporter.service @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/lumenaview-exporter.service DESTINATION lib/systemd/system)
configure_file(${CMAKE_SOURCE_DIR}/deploy/debian/lumena-monitor.sysusers.in
  ${CMAKE_BINARY_DIR}/lumena-monitor.conf @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/lumena-monitor.conf DESTINATION lib/sysusers.d)

# cpack installs what is built; it does not build the whole test suite first.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

set(LUMENA_SHARE ${CMAKE_INSTALL_DATADIR}/lumena)
install(FILES deploy/prometheus/prometheus.yml deploy/prometheus/lumena-rules.yml
  DESTINATION ${LUMENA_SHARE}/prometheus)
install(FILES deploy/prometheus/lumena-targets.yml DESTINATION ${LUMENA_SHARE}/prometheus/targets)
install(FILES deploy/grafana/lumena-dashboard.json DESTINATION ${LUMENA_SHARE}/grafana)
install(FILES deploy/demo.conf DESTINATION ${LUMENA_SHARE}/examples)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME lumena-monitor)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Lumena monitoring <monitoring@lumena.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "Monitoring node library for the message broker, the lumenaview viewer and metrics exporter")
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_DEPENDS
  "libc6 (>= 2.34), libstdc++6 (>= 12), libgcc-s1, libquadmath0, libssl3, libyaml-cpp0.7, libcrypt1, systemd | adduser")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "prometheus")
# The maintainer scripts make the service's user and group and keep systemd
# informed; purging leaves the user, the group and the administrator's files.
foreach(script postinst prerm postrm)
  configure_file(${CMAKE_SOURCE_DIR}/deploy/debian/${script}.in
    ${CMAKE_BINARY_DIR}/debian/${script} @ONLY)
  list(APPEND CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_BINARY_DIR}/debian/${script})
endforeach()
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
include(CPack)
