# What `cmake --install` puts where, and the Debian package CPack builds of it.
# The prefix is /usr unless given, so that the service unit and the package
# agree on where the programs are; stage with DESTDIR. Two components:
#   monitor  the product: the node library, lumenaview, its service unit and
#            settings, the man page, the Prometheus and Grafana files
#   standin  the stand-in broker (brokerhost, its libimbdfplg.so and the demo
#            deployment), for test hosts only; a real broker brings its own
# `cmake --install build` installs both, the package holds only the product.
set(LUMENA_ETC ${CMAKE_INSTALL_FULL_SYSCONFDIR}/lumena)
set(LUMENA_SHARE ${CMAKE_INSTALL_DATADIR}/lumena)
set(LUMENA_DOC ${CMAKE_INSTALL_DATADIR}/doc/lumena-monitor)
set(LUMENA_BROKER_USER "lumena-broker" CACHE STRING
  "Default of the user the brokers run as: the exporter reads what it owns")

# The node library takes libimbdfplg.so from the broker that loads it and the
# viewer needs none: neither gets a run path. brokerhost finds the stand-in's
# library beside the node library.
set_target_properties(zovpnode lumenaview PROPERTIES INSTALL_RPATH "")
set_target_properties(brokerhost PROPERTIES INSTALL_RPATH "$ORIGIN/../${ZOV_INSTALL_LIBDIR}")
install(TARGETS zovpnode LIBRARY DESTINATION ${ZOV_INSTALL_LIBDIR} COMPONENT monitor)
install(TARGETS lumenaview RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT monitor)
install(TARGETS imbdfplg LIBRARY DESTINATION ${ZOV_INSTALL_LIBDIR} COMPONENT standin)
install(TARGETS brokerhost RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT standin)
install(FILES deploy/demo.conf DESTINATION ${LUMENA_SHARE}/examples COMPONENT standin)

# Installs SOURCE compressed as DIR/NAME.gz (gzip -n: no name or time stamp, so
# the same file gives the same bytes). Done when installing, so a file made by
# the build is taken as it is then.
function(lumena_install_gzipped source dir name)
  install(CODE "
    set(out \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${dir}\")
    file(MAKE_DIRECTORY \"\${out}\")
    message(STATUS \"Installing: \${out}/${name}.gz\")
    execute_process(COMMAND gzip -9nc \"${source}\" OUTPUT_FILE \"\${out}/${name}.gz\"
      COMMAND_ERROR_IS_FATAL ANY)" COMPONENT monitor)
endfunction()
lumena_install_gzipped(${CMAKE_SOURCE_DIR}/deploy/lumenaview.1 ${CMAKE_INSTALL_MANDIR}/man1 lumenaview.1)
lumena_install_gzipped(${CMAKE_SOURCE_DIR}/deploy/debian/changelog ${LUMENA_DOC} changelog)
install(FILES deploy/debian/copyright DESTINATION ${LUMENA_DOC} COMPONENT monitor)
# The alerting rules' runbook links point into the README's Runbook section, so
# it is installed as it is (a link cannot point into a compressed file).
install(FILES README.md DESTINATION ${LUMENA_DOC} COMPONENT monitor)
install(FILES deploy/bash-completion/lumenaview
  DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions COMPONENT monitor)

# The service, its user (made by systemd-sysusers, or by the package), and the
# files an operator edits: conffiles of the package.
configure_file(${CMAKE_SOURCE_DIR}/deploy/lumenaview-exporter.service.in
  ${CMAKE_BINARY_DIR}/lumenaview-exporter.service @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/lumenaview-exporter.service DESTINATION lib/systemd/system
  COMPONENT monitor)
install(FILES deploy/debian/lumena-monitor.sysusers DESTINATION lib/sysusers.d
  RENAME lumena-monitor.conf COMPONENT monitor)
set(LUMENA_CONFFILES lumenaview.conf web-config.yml targets/lumena-targets.yml)
configure_file(deploy/lumenaview.conf.in ${CMAKE_BINARY_DIR}/lumenaview.conf @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/lumenaview.conf deploy/web-config.yml DESTINATION ${LUMENA_ETC}
  COMPONENT monitor)
install(FILES deploy/prometheus/lumena-targets.yml DESTINATION ${LUMENA_ETC}/targets
  COMPONENT monitor)

# cpack installs what is built; it does not build the whole test suite first.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

install(FILES deploy/prometheus/prometheus.yml deploy/prometheus/lumena-rules.yml
  deploy/prometheus/lumena-rules.test.yml
  DESTINATION ${LUMENA_SHARE}/prometheus COMPONENT monitor)
install(FILES deploy/grafana/lumena-dashboard.json DESTINATION ${LUMENA_SHARE}/grafana
  COMPONENT monitor)

set(CPACK_GENERATOR DEB)
set(CPACK_INSTALL_CMAKE_PROJECTS "${CMAKE_BINARY_DIR};${PROJECT_NAME};monitor;/")
set(CPACK_PACKAGE_NAME lumena-monitor)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Lumena monitoring <monitoring@lumena.invalid>")
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "broker monitoring node, viewer and metrics exporter
A monitoring node library for the message broker: a flow designer places its
node into message flows, and every message through it is measured (size,
processor time, time queued) into System V shared memory, one segment per
broker.
.
lumenaview shows what the nodes recorded, as tables, JSON or Prometheus
metrics, and serves /metrics (lumenaview-exporter.service); alerting rules
and a Grafana dashboard come with it. The broker itself is not part of this
package.")
# Dependencies from the programs' libraries (dpkg-shlibdeps), and adduser for
# the service's user where systemd-sysusers is absent. The node library's
# libimbdfplg.so is the broker's: no package has it, so dpkg-shlibdeps leaves
# it out (with a warning that it cannot find it).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "prometheus")
set(CPACK_DEBIAN_DEBUGINFO_PACKAGE ON)
# The maintainer scripts make the service's user and keep systemd informed;
# purging leaves the user and the administrator's files.
list(TRANSFORM LUMENA_CONFFILES PREPEND ${LUMENA_ETC}/)
list(JOIN LUMENA_CONFFILES "\n" LUMENA_CONFFILES)
file(WRITE ${CMAKE_BINARY_DIR}/debian/conffiles "${LUMENA_CONFFILES}\n")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_BINARY_DIR}/debian/conffiles)
foreach(script postinst prerm postrm)
  list(APPEND CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_SOURCE_DIR}/deploy/debian/${script})
endforeach()
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
include(CPack)
