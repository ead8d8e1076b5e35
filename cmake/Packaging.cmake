# The Debian package of the agent: the service in /usr/sbin, its snapshot
# libraries in its own library folder, the systemd unit enabled on install
# and the data root /var/lib/Zelvo made 0700. Built with
# `cpack -G DEB` in the build folder (see README).
install(TARGETS zlv_service RUNTIME DESTINATION sbin)
install(TARGETS kvn_vss_linux LIBRARY DESTINATION lib/zelvo)
install(FILES ${CMAKE_SOURCE_DIR}/packaging/zelvo.service DESTINATION lib/systemd/system)

set(CPACK_GENERATOR "DEB")
set(CPACK_PACKAGE_NAME "zelvo-agent")
set(CPACK_PACKAGE_VENDOR "Zelvo")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Zelvo backup agent")
set(CPACK_PACKAGING_INSTALL_PREFIX "${ZLV_PACKAGE_PREFIX}")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Zelvo agent developers <agent@zelvo.invalid>")
set(CPACK_DEBIAN_PACKAGE_SECTION "admin")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The database driver is a plug-in that no library dependency names.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libqt6sql6-sqlite")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    "${CMAKE_SOURCE_DIR}/packaging/debian/postinst;${CMAKE_SOURCE_DIR}/packaging/debian/prerm;${CMAKE_SOURCE_DIR}/packaging/debian/postrm")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
